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

#include "reliability/HiveContent.h"
#include "reliability/StorageContent.h"
#include "storage/storage.h"
#include "xmlfile/IdleSave.h"

namespace {

using namespace settingstore::test;
using Arguments = std::vector<std::string>;

enum Exit : int { kDone = 0, kFailed = 1, kBadArguments = 2 };

int Xml(const Arguments& args) {
  if (args.size() != 3) return kBadArguments;
  PathInitializer init(args[0]);
  storage::NoThrowStorageFactory* factory = InitializeStorage(storage::STORAGE_XML, &init);
  const std::string& mode = args[2];
  if (mode == "save" || mode == "dispose") {
    storage::Ref<storage::IStorageSection> root(factory->GetRoot());
    WriteGeneration(root.get(), std::stoi(args[1]), true);
  }
  if (mode == "confirm") {
    factory->LoadSuccessful();
    storage::IdleSave::WaitUntilIdle();
  }
  if (mode == "dispose") {
    factory->Dispose();
    return kDone;
  }
  if (mode == "save") factory->Save();
  delete factory;
  return kDone;
}

int Hive(const Arguments& args) {
  if (args.size() != 3) return kBadArguments;
  storage::PageManager manager;
  StartHives(manager, args[0], args[1]);
  WriteHiveGeneration(manager, std::stoi(args[2]));
  return kDone;
}

// With "long", the content holds a long text too.
int Dom(const Arguments& args) {
  if (args.size() != 2 && !(args.size() == 3 && args[2] == "long")) return kBadArguments;
  PathInitializer init(args[0]);
  storage::NoThrowStorageFactory* factory = InitializeStorage(storage::STORAGE_SHARED_DOM, &init);
  {
    storage::Ref<storage::IStorageSection> root(factory->GetRoot());
    WriteGeneration(root.get(), std::stoi(args[1]), args.size() == 3);
  }
  delete factory;
  DeinitializeStorage(storage::STORAGE_SHARED_DOM);
  return kDone;
}

// Writes keys k<first>, k<first + 1>, ... for ever, each an integer equal to
// its number, and appends the number to the acknowledgement file once the
// write has returned.
int Registry(const Arguments& args) {
  if (args.size() != 3) return kBadArguments;
  storage::SetRegistryDatabase(args[0].c_str());
  storage::Ref<storage::IStorageSection> root(storage::GetRegStorage("HKCU"));
  storage::Ref<storage::IStorageSection> section(root->CreateSection("Software\\Reliability"));
  std::ofstream acknowledged(args[1], std::ios::app);
  for (int32_t number = std::stoi(args[2]);; ++number) {
    storage::Ref<storage::IStorageKey> key(section->CreateKey(("k" + std::to_string(number)).c_str()));
    if (!key->Write(storage::TYPE_INTEGER, &number, sizeof number)) return kFailed;
    acknowledged << number << '\n' << std::flush;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Arguments words(argv + 1, argv + argc);
  if (words.size() >= 2 && words[0] == "--crash-after") {
    setenv("SETTINGSTORE_CRASH_AFTER_IO", words[1].c_str(), 1);
    words.erase(words.begin(), words.begin() + 2);
  }
  if (words.empty()) return kBadArguments;
  const std::map<std::string, int (*)(const Arguments&)> commands{
      {"xml", Xml}, {"hive", Hive}, {"dom", Dom}, {"registry", Registry}};
  const auto command = commands.find(words[0]);
  if (command == commands.end()) return kBadArguments;
  try {
    return command->second(Arguments(words.begin() + 1, words.end()));
  } catch (...) {
    return kFailed;
  }
}
