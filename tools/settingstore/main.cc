// settingstore: inspect and edit a settings storage from the shell.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "CliError.h"
#include "Commands.h"
#include "HoldRelease.h"
#include "LiveStorage.h"
#include "LogLines.h"
#include "Stat.h"
#include "StorageOpening.h"
#include "StoreCheck.h"
#include "ValueFormat.h"
#include "Watch.h"
#include "base/Exceptions.h"
#include "exchange/ExchangeCommands.h"
#include "storage/storage.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

using cli::OpenedStorage;

int Fail(int status, const std::string& message) {
  std::cerr << "settingstore: " << message << '\n';
  return status;
}

// Opens the storage, runs the command on the section --path names, and saves
// if the command changes anything.
void RunOn(const cli::StorageOptions& options, OpenedStorage::Access access,
           const std::function<void(storage::IStorageSection*)>& command) {
  if (access == OpenedStorage::Access::kRead) cli::RequireStorage(options);
  OpenedStorage opened(options, access);
  command(opened.root());
  if (access == OpenedStorage::Access::kWrite) opened.save();
  opened.leave();
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Values, dumps and loads pass byte for byte, as on every other system:
  // no "\r\n" for "\n", no end of input at a Ctrl+Z byte.
  for (FILE* stream : {stdin, stdout, stderr}) _setmode(_fileno(stream), _O_BINARY);
#endif
  CLI::App app{"settingstore: inspect and edit settings storages"};
  app.fallthrough();
  // Section paths may start with '/', also on Windows.
  app.allow_windows_style_options(false);
  app.require_subcommand(0, 1);
  bool show_version = false;
  app.add_flag("--version", show_version, "print the library version");
  cli::StorageOptions options;
  app.add_option("--type", options.type, "storage type: registry, xml, shared (or 0, 1, 2)")
      ->capture_default_str();
  app.add_option("--path", options.path, "registry path (HKCU\\Software\\Example) or XML directory");
  app.add_option("--default-path", options.defaultPath, "XML directory of the default settings");
  app.add_option("--registry-db", options.registryDb, "the registry store's database file");

  using Access = OpenedStorage::Access;
  std::function<void()> run;
  std::string section;
  std::string key;
  bool recursive = false;
  bool raw = false;

  CLI::App* ls = app.add_subcommand("ls", "list sub-sections, then keys with type and size");
  ls->add_option("SECTION", section, "section to list (default: the root)");
  ls->add_flag("-r,--recursive", recursive, "list the whole subtree");
  ls->callback([&] {
    run = [&] {
      RunOn(options, Access::kRead, [&](auto* root) { cli::List(root, section, recursive, std::cout); });
    };
  });

  CLI::App* get = app.add_subcommand("get", "print a key's value");
  get->add_option("SECTION", section, "section of the key")->required();
  get->add_option("KEY", key, "key name")->required();
  get->add_flag("--raw", raw, "write the exact stored bytes");
  get->callback([&] {
    run = [&] {
      RunOn(options, Access::kRead, [&](auto* root) { cli::Get(root, section, key, raw, std::cout); });
    };
  });

  CLI::App* set = app.add_subcommand("set", "write a key, creating missing sections");
  std::vector<std::string> values;
  std::string value_type = "string";
  std::string from_file;
  set->add_option("SECTION", section, "section of the key")->required();
  set->add_option("KEY", key, "key name")->required();
  set->add_option("VALUE", values, "the value (several for multi)");
  set->add_option("--type", value_type, "value type: string, int, binary, multi")->capture_default_str();
  set->add_option("--from-file", from_file, "binary value: the bytes of this file");
  set->callback([&] {
    run = [&] {
      const storage::Type type = cli::ParseTypeName(value_type);
      std::string bytes;
      if (!from_file.empty()) {
        if (type != storage::TYPE_BINARY || !values.empty()) {
          throw cli::CliError(cli::kUsage, "--from-file takes a binary value and no VALUE");
        }
        bytes = cli::ReadFileBytes(from_file);
      } else {
        bytes = cli::EncodeValue(type, values);
      }
      RunOn(options, Access::kWrite, [&](auto* root) { cli::Set(root, section, key, type, bytes); });
    };
  });

  CLI::App* rm = app.add_subcommand("rm", "delete a key");
  rm->add_option("SECTION", section, "section of the key")->required();
  rm->add_option("KEY", key, "key name")->required();
  rm->callback([&] {
    run = [&] { RunOn(options, Access::kWrite, [&](auto* root) { cli::Remove(root, section, key); }); };
  });

  CLI::App* rmsection = app.add_subcommand("rmsection", "delete a section");
  rmsection->add_option("SECTION", section, "section to delete")->required();
  rmsection->add_flag("-r,--recursive", recursive, "delete it with everything below it");
  rmsection->callback([&] {
    run = [&] {
      RunOn(options, Access::kWrite, [&](auto* root) { cli::RemoveSection(root, section, recursive); });
    };
  });

  CLI::App* dump = app.add_subcommand("dump", "write a subtree as an XML settings document");
  dump->add_option("SECTION", section, "section to dump (default: the root)");
  dump->callback([&] {
    run = [&] { RunOn(options, Access::kRead, [&](auto* root) { cli::Dump(root, section, std::cout); }); };
  });

  CLI::App* load = app.add_subcommand("load", "merge an XML settings document in");
  std::string file;
  load->add_option("FILE", file, "document written by dump")->required();
  load->add_option("SECTION", section, "section to merge into (default: the root)");
  load->callback([&] {
    run = [&] { RunOn(options, Access::kWrite, [&](auto* root) { cli::Load(root, file, section); }); };
  });

  CLI::App* watch = app.add_subcommand("watch", "print each change under a section as it happens");
  long count = 0;
  watch->add_option("SECTION", section, "section to watch (default: the root)");
  watch->add_flag("-r,--recursive", recursive, "watch the whole subtree");
  watch->add_option("--count", count, "stop after this many changes");
  watch->callback([&] { run = [&] { cli::Watch(options, section, recursive, count, std::cout); }; });

  // export and import: the storage is opened only once the input is read
  // and checked whole, and left before the output is written.
  cli::exchange::ExchangeOptions exchange;
  std::string output;
  const auto addFormat = [&](CLI::App* command) {
    command->add_option("--format", exchange.format, "reg, json or xml")
        ->required()
        ->check(CLI::IsMember({"reg", "json", "xml"}));
    command->add_option("--reg-root", exchange.regRoot,
                        "the path .reg files give SECTION (default: its registry path, else its name, or "
                        "Settings for the root)");
  };
  CLI::App* exportCommand = app.add_subcommand("export", "write a subtree as .reg, JSON or XML");
  addFormat(exportCommand);
  exportCommand->add_option("SECTION", exchange.section, "section to export (default: the root)");
  exportCommand->add_option("-o,--output", output, "write to this file instead of standard output");
  exportCommand->add_option("--reg-version", exchange.regVersion, "5 (UTF-16) or 4 (REGEDIT4, 8-bit)")
      ->check(CLI::IsMember({4, 5}))
      ->capture_default_str();
  exportCommand->callback([&] {
    run = [&] {
      const std::string regRoot = cli::exchange::RegRoot(options, exchange);
      std::string text;
      RunOn(options, Access::kRead,
            [&](auto* root) { text = cli::exchange::Export(root, exchange, regRoot); });
      if (output.empty()) {
        std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
        return;
      }
      std::ofstream file(output, std::ios::binary | std::ios::trunc);
      if (!file.write(text.data(), static_cast<std::streamsize>(text.size())) || !file.flush()) {
        throw cli::CliError(cli::kFailure, "cannot write the file '" + output + "'");
      }
    };
  });

  CLI::App* importCommand = app.add_subcommand("import", "merge a .reg, JSON or XML file in");
  addFormat(importCommand);
  importCommand->add_option("SECTION", exchange.section, "section to import into (default: the root)");
  importCommand->add_option("FILE", file, "the file (default: standard input)");
  importCommand->callback([&] {
    run = [&] {
      const std::string input = file.empty() ? std::string(std::istreambuf_iterator<char>(std::cin),
                                                           std::istreambuf_iterator<char>())
                                             : cli::ReadFileBytes(file);
      const std::vector<cli::exchange::Change> changes =
          cli::exchange::ParseImport(input, exchange, cli::exchange::RegRoot(options, exchange));
      RunOn(options, Access::kWrite, [&](auto* root) { cli::exchange::Import(root, exchange, changes); });
    };
  });

  // check and stat read the shared DOM's own structures, so they take no
  // other storage type.
  CLI::Option* type_option = app.get_option("--type");
  const auto sharedDirectory = [&] {
    if (type_option->count() > 0 && cli::ParseStorageType(options.type) != storage::STORAGE_SHARED_DOM) {
      throw cli::CliError(cli::kUsage, "check and stat work on shared storages only (--type shared)");
    }
    cli::StorageOptions shared = options;
    shared.type = "shared";
    cli::RequireStorage(shared);
    return options.path.empty() ? std::string(".") : options.path;
  };

  CLI::App* check =
      app.add_subcommand("check", "verify a shared storage's .dm2 files while no process has it open");
  bool strict = false;
  check->add_flag("--strict", strict,
                  "count leaked blocks (left by processes that ended mid-operation) as damage");
  check->callback([&] {
    run = [&] {
      const std::string directory = sharedDirectory();
      if (cli::StorageIsLive(directory)) {
        throw cli::CliError(cli::kFailure,
                            "the storage in '" + directory +
                                "' is open in another process; check it once every process has left");
      }
      const cli::CheckResult result = cli::CheckStorage(directory);
      cli::PrintCheck(result, strict, std::cout);
      if (!result.sound(strict)) {
        const size_t count = result.findings.damage.size() + (strict ? result.findings.leaks.size() : 0);
        throw cli::CliError(cli::kFailure, "the storage is damaged (" + std::to_string(count) + " problems)");
      }
    };
  });

  CLI::App* stat = app.add_subcommand("stat", "show how full the hives of a shared storage in use are");
  stat->callback([&] { run = [&] { cli::PrintStat(sharedDirectory(), std::cout); }; });

  CLI::App* hold = app.add_subcommand(
      "hold", "keep the storage open until standard input ends or SIGINT, SIGTERM or SIGHUP");
  hold->callback([&] {
    run = [&] {
      cli::HoldRelease release;
      OpenedStorage opened(options, Access::kRead);
      std::cout << "holding the storage open until standard input ends" << std::endl;
      release.WaitForRelease();
      opened.leave();
    };
  });

  cli::WriteLogLinesToStandardError();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    return Fail(cli::kUsage, std::string(error.what()) + " (see --help)");
  }

  if (show_version) {
    std::printf("%s\n", GetStotageVersion());
    return cli::kSuccess;
  }
  if (!run) {
    std::printf("%s", app.help().c_str());
    return cli::kUsage;
  }
  try {
    run();
    std::cout.flush();
    return cli::kSuccess;
  } catch (const cli::CliError& error) {
    return Fail(error.status(), error.what());
  } catch (...) {
    const storage::Failure failure = storage::CurrentFailure();
    if (failure.root == storage::Failure::Root::kUnknown) throw;
    if (failure.root != storage::Failure::Root::kStorage) return Fail(cli::kFailure, failure.message);
    return Fail(cli::kFailure, failure.message + " (error " + std::to_string(failure.code) + ")");
  }
}
