// Commands of shared_test_helper, the second process of the shared-memory
// tests. A test spawns `shared_test_helper <command> <args...>` and reads the
// exit status (0 = success; anything else is the command's own failure code).
//
// To add commands: create tests/Shared/helper/<area>_commands.cc (the build
// globs the folder), write `int MyCommand(const std::vector<std::string>& args)`
// and register it at namespace scope with
//   const HelperCommandRegistrar kMyCommand("my-command", MyCommand);
// Command names must be unique across all files; a duplicate aborts at start.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace settingstore::test {

// args holds the words after the command name.
using HelperCommand = int (*)(const std::vector<std::string>& args);

// Registers a command while static objects are constructed.
class HelperCommandRegistrar {
 public:
  HelperCommandRegistrar(std::string_view name, HelperCommand command);
};

// The registered command of that name, or nullptr.
HelperCommand FindHelperCommand(std::string_view name);

// Names of all registered commands, for the usage message.
std::vector<std::string> HelperCommandNames();

}  // namespace settingstore::test
