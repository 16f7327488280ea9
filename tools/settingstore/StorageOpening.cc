#include "StorageOpening.h"

#include <utility>

#include "CliError.h"
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
  // The tool is run again by hand if a load fails; it never loops.
  storage::PathInitializer init(path, options.defaultPath.empty() ? path : options.defaultPath);
  try {
    factory_ = InitializeStorage(type, &init);
  } catch (...) {
    // A failed start of the shared DOM leaves its names and mutex in place.
    DeinitializeStorage(type);
    throw;
  }
  if (factory_ == nullptr) throw CliError(kFailure, "cannot open the storage");
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

void OpenedStorage::leave() {
  g_save_error.clear();
  storage::logger::SetSink(&RecordSaveError);
  const bool saved = close();
  storage::logger::SetSink(nullptr);
  if (!saved)
    throw CliError(kFailure, "the storage could not be saved, its changes are lost: " + g_save_error);
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
