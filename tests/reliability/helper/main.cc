// reliability_test_helper: the process that the crash tests kill. It runs one
// save and exits 0; with "--crash-after N" first, the platform layer kills it
// right after the N-th step of a file save, as a power cut or a kill would.
//
//   xml <dir> <generation> save|dispose|confirm|load
//   hive <segment prefix> <file prefix> <generation>
//   dom <dir> <generation> [long]
//   registry <database> <acknowledgement file> <first key>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "reliability/StorageContent.h"
#include "storage/storage.h"
#include "xmlfile/IdleSave.h"

namespace {

using namespace settingstore::test;
using Arguments = std::vector<std::string>;

enum Exit : int { kDone = 0, kFailed = 1, kBadArguments = 2 };

// xml: the mode says what it does; dom: writes, with "long" a long text too.
int Files(storage::StorageType type, const Arguments& args) {
  const bool xml = type == storage::STORAGE_XML;
  const std::string mode = args.size() > 2 ? args[2] : "";
  PathInitializer init(args.at(0));
  storage::NoThrowStorageFactory* factory = InitializeStorage(type, &init);
  if (!xml || mode == "save" || mode == "dispose")
    WriteGeneration(storage::Ref<storage::IStorageSection>(factory->GetRoot()).get(), std::stoi(args.at(1)),
                    xml || mode == "long");
  if (mode == "confirm") {
    factory->LoadSuccessful();
    storage::IdleSave::WaitUntilIdle();
  }
  if (mode == "save") factory->Save();
  if (mode == "dispose")
    factory->Dispose();  // ends the factory too
  else
    delete factory;
  if (!xml) DeinitializeStorage(type);
  return kDone;
}

int Hive(const Arguments& args) {
  storage::PageManager manager;
  StartHives(manager, args.at(0), args.at(1));
  WriteHiveGeneration(manager, std::stoi(args.at(2)));
  return kDone;
}

// Writes keys k<first>, k<first + 1>, ... for ever, each an integer equal to
// its number, and appends the number to the acknowledgement file once the
// write has returned.
int Registry(const Arguments& args) {
  storage::SetRegistryDatabase(args.at(0).c_str());
  storage::Ref<storage::IStorageSection> root(storage::GetRegStorage("HKCU"));
  storage::Ref<storage::IStorageSection> section(root->CreateSection("Software\\Reliability"));
  std::ofstream acknowledged(args.at(1), std::ios::app);
  for (int32_t number = std::stoi(args.at(2));; ++number) {
    storage::Ref<storage::IStorageKey> key(section->CreateKey(("k" + std::to_string(number)).c_str()));
    if (!key->Write(storage::TYPE_INTEGER, &number, sizeof number)) return kFailed;
    acknowledged << number << '\n' << std::flush;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Arguments words(argv + 1, argv + argc);
  if (words.size() >= 2 && words[0] == "--crash-after") {
#ifdef _WIN32
    _putenv_s("SETTINGSTORE_CRASH_AFTER_IO", words[1].c_str());
#else
    setenv("SETTINGSTORE_CRASH_AFTER_IO", words[1].c_str(), 1);
#endif
    words.erase(words.begin(), words.begin() + 2);
  }
  const std::map<std::string, int (*)(const Arguments&)> commands{
      {"xml", [](const Arguments& args) { return Files(storage::STORAGE_XML, args); }},
      {"dom", [](const Arguments& args) { return Files(storage::STORAGE_SHARED_DOM, args); }},
      {"hive", Hive},
      {"registry", Registry}};
  const auto command = words.empty() ? commands.end() : commands.find(words[0]);
  if (command == commands.end()) return kBadArguments;
  try {
    return command->second(Arguments(words.begin() + 1, words.end()));
  } catch (...) {
    return kFailed;  // std::out_of_range too: an argument is missing
  }
}
