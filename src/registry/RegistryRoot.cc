#include "registry/RegistryRoot.h"

#include <cstring>
#include <string_view>

#include "base/Exceptions.h"
#include "registry/RegistryStorage.h"

namespace storage {

using namespace platform;

namespace {

struct RootName {
  std::string_view name;
  HKEY key;
};

// Searched in this order.
const RootName kRootNames[] = {
    {"HKLM", HKEY_LOCAL_MACHINE}, {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", HKEY_CURRENT_USER},  {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", HKEY_CLASSES_ROOT},  {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
};

bool EndsRootName(char c) { return c == '\0' || c == ' ' || c == '\\' || c == '/'; }

}  // namespace

const char* ParseRegistryRoot(const char* path, HKEY& root) {
  root = HKEY_LOCAL_MACHINE;
  if (path != nullptr) {
    for (const RootName& row : kRootNames) {
      // strncmp stops at the path's end, so a shorter path never reads past it.
      if (std::strncmp(path, row.name.data(), row.name.size()) != 0) continue;
      const char* rest = path + row.name.size();
      if (!EndsRootName(*rest)) continue;
      root = row.key;
      return *rest == '\0' ? rest : rest + 1;
    }
  }
  throw Exception(kErrorNotFound);
}

IStorageSection* OpenRegistryPath(const char* path) {
  HKEY root = nullptr;
  const char* rest = ParseRegistryRoot(path, root);
  Ref<IStorageSection> section(new RegistryStorage(RegistryKeyHandle(root)));
  if (*rest == '\0') return section.release();
  return section->OpenSection(rest);
}

}  // namespace storage
