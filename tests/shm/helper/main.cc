#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "shm/helper/commands.h"

namespace settingstore::test {
namespace {

// A function-local map, so registrars in other files may run before main's
// file is initialised.
std::map<std::string, HelperCommand, std::less<>>& Registry() {
  static std::map<std::string, HelperCommand, std::less<>> registry;
  return registry;
}

}  // namespace

HelperCommandRegistrar::HelperCommandRegistrar(std::string_view name, HelperCommand command) {
  if (!Registry().emplace(std::string(name), command).second) {
    std::fprintf(stderr, "duplicate helper command: %.*s\n", static_cast<int>(name.size()), name.data());
    std::abort();
  }
}

HelperCommand FindHelperCommand(std::string_view name) {
  const auto found = Registry().find(name);
  return found == Registry().end() ? nullptr : found->second;
}

std::vector<std::string> HelperCommandNames() {
  std::vector<std::string> names;
  for (const auto& entry : Registry()) names.push_back(entry.first);
  return names;
}

}  // namespace settingstore::test

int main(int argc, char** argv) {
  using namespace settingstore::test;
  const HelperCommand command = argc > 1 ? FindHelperCommand(argv[1]) : nullptr;
  if (command == nullptr) {
    std::fprintf(stderr, "usage: %s <command> [args...]\ncommands:", argv[0]);
    for (const auto& name : HelperCommandNames()) std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
    return 125;
  }
  return command(std::vector<std::string>(argv + 2, argv + argc));
}
