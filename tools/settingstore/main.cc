// settingstore: inspect and edit a settings storage from the shell.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "storage/storage.h"

int main(int argc, char** argv) {
  CLI::App app{"settingstore: inspect and edit settings storages"};
  bool show_version = false;
  app.add_flag("--version", show_version, "print the library version");
  CLI11_PARSE(app, argc, argv);

  if (show_version) {
    std::printf("%s\n", GetStotageVersion());
    return 0;
  }
  std::printf("%s", app.help().c_str());
  return 0;
}
