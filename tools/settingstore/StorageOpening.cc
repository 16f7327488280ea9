#include "StorageOpening.h"

#include <iostream>
#include <utility>

#include "CliError.h"
#include "Utils/PathUtils.h"
#include "platform/Platform.h"
#include "storage/initializer.h"

namespace cli {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A registry path splits into its hive ("HKCU") and the key below it, which
// the tool opens itself so that `set` can create it.
struct RegistryLocation {
  std::string hive;
  std::string below;
};

RegistryLocation SplitRegistryPath(const std::string& path) {
  size_t end = 0;
  while (end < path.size() && !IsSeparator(path[end])) ++end;
  return {path.substr(0, end), NormalizeSectionPath(path.substr(end))};
}

// The first error the library logs while a save runs.
std::string g_save_error;

void RecordSaveError(storage::logger::Level level, const char* message) {
  if (level == storage::logger::LEVEL_ERROR && g_save_error.empty()) g_save_error = message;
}

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
      throw CliError(kFailure, "refusing the lock file " + lockFile + ": another user's, or no regular file");
    default:
      // Where no lock file can be made no save can be either: a read still
      // works, and a write fails with the save's own reason.
      return nullptr;
  }
}

// The library logs what it found damaged while it loads an XML storage:
// which file, where it went and what was loaded instead.
int g_load_errors = 0;

void ReportLoadError(storage::logger::Level level, const char* message) {
  if (level != storage::logger::LEVEL_ERROR) return;
  ++g_load_errors;
  std::cerr << "settingstore: " << message << '\n';
}

// Routes the library's errors to ReportLoadError while it lives.
class LoadErrorReport {
 public:
  LoadErrorReport() {
    g_load_errors = 0;
    storage::logger::SetSink(&ReportLoadError);
  }
  ~LoadErrorReport() { storage::logger::SetSink(nullptr); }
  LoadErrorReport(const LoadErrorReport&) = delete;
  LoadErrorReport& operator=(const LoadErrorReport&) = delete;
  bool any() const { return g_load_errors > 0; }
};

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

OpenedStorage::OpenedStorage(const StorageOptions& options, Access access)
    : type_(ParseStorageType(options.type)) {
  const storage::StorageType type = type_;
  std::string path = options.path;
  std::string below;
  if (type == storage::STORAGE_REGISTRY) {
    if (!options.registryDb.empty()) storage::SetRegistryDatabase(options.registryDb.c_str());
    const RegistryLocation location = SplitRegistryPath(path.empty() ? "HKCU" : path);
    path = location.hive;
    below = location.below;
  } else if (path.empty()) {
    path = ".";
  }
  if (type == storage::STORAGE_XML) lock_ = LockXmlStorage(path, access);
  // The tool is run again by hand if a load fails; it never loops.
  storage::PathInitializer init(path, options.defaultPath.empty() ? path : options.defaultPath);
  bool damageReported = false;
  try {
    std::unique_ptr<LoadErrorReport> report;
    if (type == storage::STORAGE_XML) report = std::make_unique<LoadErrorReport>();
    factory_ = InitializeStorage(type, &init);
    damageReported = report != nullptr && report->any();
  } catch (...) {
    // A failed start of the shared DOM leaves its names and mutex in place.
    DeinitializeStorage(type);
    throw;
  }
  if (factory_ == nullptr) throw CliError(kFailure, "cannot open the storage");
  if (damageReported) {
    close();
    throw CliError(kFailure,
                   "the storage in " + path +
                       " was damaged; the command was not run (run it again to use what was loaded)");
  }
  // After its load a read writes only the backup copy, which replaces its file whole.
  if (access == Access::kRead) lock_.reset();
  try {
    factory_->LoadSuccessful();
    root_.reset(factory_->GetRoot());
    if (!below.empty()) {
      root_.reset(access == Access::kWrite ? root_->CreateSection(below.c_str())
                                           : root_->OpenSection(below.c_str()));
    }
  } catch (const storage::OpenException& error) {
    close();
    throw CliError(kNotFound, "registry key '" + options.path + "' not found: " + error.GetErrorString());
  } catch (...) {
    close();
    throw;
  }
}

void OpenedStorage::save() {
  g_save_error.clear();
  factory_->SetLastErrorCode(0);
  storage::logger::SetSink(&RecordSaveError);
  factory_->Save();
  storage::logger::SetSink(nullptr);
  if (!g_save_error.empty()) throw CliError(kFailure, g_save_error);
  if (factory_->GetLastErrorCode() != 0) {
    throw CliError(kFailure, std::string("cannot save the storage: ") + factory_->GetLastMessageDescriptor());
  }
}

OpenedStorage::~OpenedStorage() { close(); }

// Deleting the factory, unlike Dispose, does not save; the shared DOM then
// leaves its shared memory, and the last process to leave writes its files.
void OpenedStorage::close() {
  root_.reset();
  delete factory_;
  factory_ = nullptr;
  DeinitializeStorage(type_);
}

}  // namespace cli
