#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "shm/helper/commands.h"

namespace settingstore::test {

// Function-local, so that registrars in other files may run before this file is initialised.
static std::map<std::string, HelperCommand, std::less<>>& Registry() {
  static std::map<std::string, HelperCommand, std::less<>> registry;
  return registry;
}

HelperCommandRegistrar::HelperCommandRegistrar(std::string_view name, HelperCommand command) {
  if (!Registry().emplace(std::string(name), command).second) std::abort();
}

}  // namespace settingstore::test

int main(int argc, char** argv) {
  const auto& registry = settingstore::test::Registry();
  const auto found = argc > 1 ? registry.find(argv[1]) : registry.end();
  if (found == registry.end()) {
    std::fprintf(stderr, "usage: %s <command> [args...]; commands:", argv[0]);
    for (const auto& entry : registry) std::fprintf(stderr, " %s", entry.first.c_str());
    std::fprintf(stderr, "\n");
    return 125;
  }
  return found->second(std::vector<std::string>(argv + 2, argv + argc));
}
