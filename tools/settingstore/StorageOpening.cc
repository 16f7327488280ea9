#include "StorageOpening.h"

#include <filesystem>
#include <utility>

#include "CliError.h"
#include "LiveStorage.h"
#include "LogLines.h"
#include "base/Exceptions.h"
#include "base/PathUtils.h"
#include "platform/Platform.h"
#include "platform/Registry.h"
#include "shareddom/SharedSettings.h"
#include "storage/initializer.h"

namespace cli {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A registry path splits into its root ("HKCU") and the key below it, which
// the tool opens itself so that `set` can create it.
struct RegistryLocation {
  std::string root;
  std::string below;
};

bool EndsRootName(char c) { return IsSeparator(c) || c == ' '; }

// The library takes root names as written in its table only; the tool takes
// them in any case, short or long, and hands the library the short form.
std::string RootName(const std::string& written) {
  static const char* const kRoots[][2] = {
      {"HKLM", "HKEY_LOCAL_MACHINE"}, {"HKCU", "HKEY_CURRENT_USER"}, {"HKCR", "HKEY_CLASSES_ROOT"}};
  std::string upper = written;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const auto& names : kRoots) {
    if (upper == names[0] || upper == names[1]) return names[0];
  }
  throw CliError(kUsage,
                 "unknown registry root '" + written +
                     "' (HKLM, HKCU, HKCR or HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT)");
}

RegistryLocation SplitRegistryPath(const std::string& path) {
  size_t end = 0;
  while (end < path.size() && !EndsRootName(path[end])) ++end;
  const std::string rest = end < path.size() ? path.substr(end + 1) : std::string();
  return {RootName(path.substr(0, end)), NormalizeSectionPath(rest)};
}

}  // namespace

std::string LongRegistryPath(const std::string& path) {
  const RegistryLocation location = SplitRegistryPath(path.empty() ? "HKCU" : path);
  std::string written = location.root == "HKLM"   ? "HKEY_LOCAL_MACHINE"
                        : location.root == "HKCU" ? "HKEY_CURRENT_USER"
                                                  : "HKEY_CLASSES_ROOT";
  if (!location.below.empty()) written += "\\" + location.below;
  return written;
}

namespace {

std::string NoStorageAt(const std::string& path) { return "no storage at '" + path + "'"; }

// How long a run waits for another run that has the same XML storage locked.
constexpr uint32_t kLockWaitMs = 30000;

// Two runs that both load, change and save one XML file would each write
// back only their own change; the lock beside the file makes them take turns.
std::unique_ptr<storage::platform::FileLock> LockXmlStorage(const std::string& directory,
                                                            OpenedStorage::Access access) {
  if (access == OpenedStorage::Access::kWrite) storage::utils::CreateDirectoryChain(directory, false);
  const std::string lockFile = storage::utils::Join(directory, ".storage.lock");
  std::unique_ptr<storage::platform::FileLock> lock =
      storage::platform::FileLock::Acquire(lockFile.c_str(), kLockWaitMs);
  if (lock != nullptr) return lock;
  switch (storage::platform::GetLastError()) {
    case storage::platform::kErrorSharingViolation:
      throw CliError(kFailure, "another process has kept " + lockFile + " locked for " +
                                   std::to_string(kLockWaitMs / 1000) + " seconds");
    case storage::platform::kErrorAccessDenied:
      throw CliError(kFailure, "cannot use the lock file " + lockFile +
                                   ": it is another user's, no regular file, or not readable");
    default:
      // Where no lock file can be made no save can be either: a read still
      // works, and a write fails with the save's own reason.
      return nullptr;
  }
}

}  // namespace

storage::StorageType ParseStorageType(const std::string& text) {
  if (text == "registry" || text == "0") return storage::STORAGE_REGISTRY;
  if (text == "xml" || text == "1") return storage::STORAGE_XML;
  if (text == "shared" || text == "2") return storage::STORAGE_SHARED_DOM;
  throw CliError(kUsage, "unknown storage type '" + text + "' (registry, xml, shared or 0, 1, 2)");
}

std::string NormalizeSectionPath(const std::string& path) {
  std::string normalized;
  for (char c : path) {
    if (!IsSeparator(c)) {
      normalized += c;
    } else if (!normalized.empty() && normalized.back() != '\\') {
      normalized += '\\';
    }
  }
  if (!normalized.empty() && normalized.back() == '\\') normalized.pop_back();
  return normalized;
}

void RequireTrustedDirectory(const std::string& directory) {
  std::string problem;
  if (!storage::platform::CheckStorageDirectory(directory.c_str(), &problem))
    throw CliError(kFailure, problem);
}

void RequireStorage(const StorageOptions& options) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  const auto exists = [&](const std::string& file) { return fs::exists(file, ignored); };
  const std::string directory = options.path.empty() ? std::string(".") : options.path;
  const storage::StorageType type = ParseStorageType(options.type);
  if (type != storage::STORAGE_REGISTRY) RequireTrustedDirectory(directory);
  switch (type) {
    case storage::STORAGE_REGISTRY: {
      // Without a database of its own (Windows) the registry is the system's, always there.
      if (storage::platform::DefaultRegistryDatabasePath().empty()) return;
      const std::string database =
          options.registryDb.empty() ? storage::platform::DefaultRegistryDatabasePath() : options.registryDb;
      if (exists(database)) return;
      break;
    }
    case storage::STORAGE_XML: {
      const std::string defaults = options.defaultPath.empty() ? directory : options.defaultPath;
      const std::string file = directory + "/.storage";
      if (exists(file) || exists(file + ".backup") || exists(defaults + "/.storage.default")) return;
      break;
    }
    default: {
      const storage::SharedSettings settings(directory.c_str());
      const std::string prefix = directory + "/";
      if (exists(prefix + settings.storageFileName + "000d.dm2") ||
          exists(prefix + settings.mapFileName + "000d.dm2") || StorageIsLive(directory)) {
        return;
      }
      break;
    }
  }
  throw CliError(kNotFound, NoStorageAt(options.path.empty() ? directory : options.path));
}

OpenedStorage::OpenedStorage(const StorageOptions& options, Access access)
    : type_(ParseStorageType(options.type)) {
  const storage::StorageType type = type_;
  std::string path = options.path;
  if (path.empty()) path = type == storage::STORAGE_REGISTRY ? "HKCU" : ".";
  std::string below;
  if (type == storage::STORAGE_REGISTRY) {
    if (!options.registryDb.empty()) storage::SetRegistryDatabase(options.registryDb.c_str());
    RegistryLocation location = SplitRegistryPath(path);
    path = std::move(location.root);
    below = std::move(location.below);
  }
  if (type == storage::STORAGE_XML) {
    // Refused before the lock file is made in it.
    RequireTrustedDirectory(path);
    lock_ = LockXmlStorage(path, access);
  }
  // The tool is run again by hand if a load fails; it never loops.
  storage::PathInitializer init(path, options.defaultPath.empty() ? path : options.defaultPath);
  // The library logs what it found damaged while it loads an XML storage:
  // which file, where it went and what was loaded instead.
  const size_t errorsBefore = LoggedErrorCount();
  try {
    factory_ = InitializeStorage(type, &init);
  } catch (...) {
    // A failed start of the shared DOM leaves its names and mutex in place.
    DeinitializeStorage(type);
    throw;
  }
  if (factory_ == nullptr) throw CliError(kFailure, "cannot open the storage");
  if (type == storage::STORAGE_XML && LoggedErrorCount() > errorsBefore) {
    close();
    throw CliError(kFailure,
                   "the storage in " + path +
                       " was damaged; the command was not run (run it again to use what was loaded)");
  }
  // After its load a read writes only the backup copy, which replaces its file whole.
  if (access == Access::kRead) lock_.reset();
  // A registry store that cannot be opened (a file that is no database)
  // fails the first key opened, and the log line tells why.
  KeptLogErrors openingErrors;
  try {
    factory_->LoadSuccessful();
    root_.reset(factory_->GetRoot());
    if (!below.empty()) {
      root_.reset(access == Access::kWrite ? root_->CreateSection(below.c_str())
                                           : root_->OpenSection(below.c_str()));
    }
  } catch (const storage::Exception& error) {
    close();
    if (type != storage::STORAGE_REGISTRY) throw;
    if (error.GetErrorCode() == storage::kErrorNotFound) throw CliError(kNotFound, NoStorageAt(options.path));
    const std::string reason = openingErrors.take();
    throw CliError(kFailure, "cannot open registry key '" + options.path +
                                 "': " + (reason.empty() ? error.GetErrorString() : reason));
  } catch (...) {
    close();
    throw;
  }
}

void OpenedStorage::save() {
  KeptLogErrors errors;
  factory_->SetLastErrorCode(0);
  factory_->Save();
  if (const std::string error = errors.take(); !error.empty()) throw CliError(kFailure, error);
  if (factory_->GetLastErrorCode() != 0) {
    throw CliError(kFailure, std::string("cannot save the storage: ") + factory_->GetLastMessageDescriptor());
  }
}

void OpenedStorage::leave() {
  KeptLogErrors errors;
  if (!close()) {
    throw CliError(kFailure, "the storage could not be saved, its changes are lost: " + errors.take());
  }
}

OpenedStorage::~OpenedStorage() { close(); }

// Deleting the factory, unlike Dispose, does not save; the shared DOM then
// leaves its shared memory, and the last process to leave writes its files.
bool OpenedStorage::close() {
  if (factory_ == nullptr && root_.get() == nullptr) return true;
  root_.reset();
  delete factory_;
  factory_ = nullptr;
  return DeinitializeStorage(type_);
}

}  // namespace cli
