// Commands of the shared-memory helper processes: a test spawns
// `<helper> <command> <args...>` and reads the exit status (0 = success).
// A file of commands registers each at namespace scope with
//   const HelperCommandRegistrar kMyCommand("my-command", MyCommand);
// Names must be unique across all files; a duplicate aborts at start.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace settingstore::test {

// args holds the words after the command name.
using HelperCommand = int (*)(const std::vector<std::string>& args);

class HelperCommandRegistrar {
 public:
  HelperCommandRegistrar(std::string_view name, HelperCommand command);
};

}  // namespace settingstore::test
