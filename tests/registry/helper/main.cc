// registry_test_helper: the second process of the registry tests.
//   write <db> <name> <count>   writes <count> keys and values under
//                               HKCU\Software\Concurrent, reading each back
//   expect <db> <path> <value> <text>
//                               exits 0 when HKCU\<path> holds <value> = <text>
// Exit 0 on success, 1 on a mismatch or failed call, 2 on bad arguments.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Registry.h"

namespace reg = storage::platform;

namespace {

bool Fail(const std::string& what, reg::LSTATUS result) {
  std::fprintf(stderr, "registry_test_helper: %s answered %d\n", what.c_str(), result);
  return false;
}

reg::LSTATUS SetText(reg::HKEY key, const std::string& name, const std::string& text) {
  return reg::RegSetValueExA(key, name.c_str(), 0, reg::REG_SZ,
                             reinterpret_cast<const uint8_t*>(text.c_str()),
                             static_cast<reg::DWORD>(text.size() + 1));
}

reg::LSTATUS GetText(reg::HKEY key, const std::string& name, std::string* text) {
  char buffer[256];
  reg::DWORD size = sizeof buffer;
  const reg::LSTATUS result =
      reg::RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<uint8_t*>(buffer), &size);
  if (result == reg::kRegSuccess) text->assign(buffer, size > 0 ? size - 1 : 0);
  return result;
}

// Each round makes a key of its own and a value on a key both writers share.
bool Write(const std::string& name, int count) {
  reg::HKEY shared = nullptr;
  if (auto r = reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, "Software\\Concurrent\\Shared", &shared)) {
    return Fail("create shared", r);
  }
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    const std::string text = name + "-" + std::to_string(i);
    const std::string path = "Software\\Concurrent\\" + name + "\\k" + std::to_string(i);
    reg::HKEY own = nullptr;
    if (auto r = reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, path.c_str(), &own)) {
      ok = Fail("create " + path, r);
      break;
    }
    std::string back;
    if (auto r = SetText(own, "v", text)) ok = Fail("set " + path, r);
    if (ok) {
      if (auto r = SetText(shared, name + "_" + std::to_string(i), text)) ok = Fail("set shared", r);
    }
    if (ok) {
      if (auto r = GetText(own, "v", &back)) ok = Fail("read back " + path, r);
    }
    if (ok && back != text) ok = Fail("read back " + path + " gave " + back, -1);
    reg::RegCloseKey(own);
  }
  reg::RegCloseKey(shared);
  return ok;
}

int Expect(const char* path, const char* value, const char* text) {
  reg::HKEY key = nullptr;
  if (auto r = reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, path, &key)) {
    Fail(std::string("open ") + path, r);
    return 1;
  }
  std::string found;
  const reg::LSTATUS result = GetText(key, value, &found);
  reg::RegCloseKey(key);
  if (result != reg::kRegSuccess) {
    Fail(std::string("read ") + value, result);
    return 1;
  }
  return found == text ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  reg::UseRegistryDatabase(argv[2]);
  if (std::strcmp(argv[1], "write") == 0 && argc == 5) {
    return Write(argv[3], std::atoi(argv[4])) ? 0 : 1;
  }
  if (std::strcmp(argv[1], "expect") == 0 && argc == 6) return Expect(argv[3], argv[4], argv[5]);
  return 2;
}
