// Carries a registry key through a .reg file with the registry backend, for
// the checks against Wine's regedit and reg.exe:
//   reg_roundtrip export HKCU\Software\Key FILE 4|5
//   reg_roundtrip import HKCU\Software\Key FILE
// The key itself must be there; an import makes what lies below it.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "exchange/RegFormat.h"
#include "storage/ref.h"

using namespace cli::exchange;
using storage::IStorageSection;
using storage::Ref;

namespace {

std::vector<std::string> Names(storage::INamesEnumerator* adopted) {
  Ref<storage::INamesEnumerator> names(adopted);
  std::vector<std::string> result;
  while (names->Next()) result.emplace_back(names->Current());
  return result;
}

Section ReadTree(IStorageSection* from) {
  Section tree;
  for (const std::string& name : Names(from->EnumKeys())) {
    Ref<storage::IStorageKey> key(from->OpenKey(name.c_str()));
    Value value{key->GetType(), std::string(key->GetSize(), '\0')};
    key->Read(value.bytes.data(), static_cast<unsigned>(value.bytes.size()));
    tree.keys.emplace_back(name, value);
  }
  for (const std::string& name : Names(from->EnumSections())) {
    tree.sections.emplace_back(name, ReadTree(Ref<IStorageSection>(from->OpenSection(name.c_str())).get()));
  }
  return tree;
}

void Apply(IStorageSection* root, const Change& change) {
  using Kind = Change::Kind;
  if (change.kind == Kind::kDeleteSection) {
    root->DeleteSection(change.section.c_str());
    return;
  }
  Ref<IStorageSection> section(change.section.empty() ? (root->AddRef(), root)
                                                      : root->CreateSection(change.section.c_str()));
  if (change.kind == Kind::kSetValue) {
    Ref<storage::IStorageKey> key(section->CreateKey(change.name.c_str()));
    key->Write(change.value.type, change.value.bytes.data(),
               static_cast<unsigned>(change.value.bytes.size()));
  } else if (change.kind == Kind::kDeleteKey) {
    section->DeleteKey(change.name.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 3 ? argv[1] : "";
  if ((command != "export" || argc != 5) && (command != "import" || argc != 4)) {
    std::cerr << "usage: reg_roundtrip export KEY FILE 4|5 | import KEY FILE\n";
    return 2;
  }
  const std::string key = argv[2];
  const size_t split = key.find('\\');
  const std::string hive = key.substr(0, split);
  const std::string below = split == std::string::npos ? "" : key.substr(split + 1);
  const std::string rootPath = (hive == "HKCU" ? "HKEY_CURRENT_USER" : hive) + key.substr(hive.size());
  try {
    Ref<IStorageSection> root(
        Ref<IStorageSection>(storage::GetRegStorage(hive.c_str()))->OpenSection(below.c_str()));
    if (command == "export") {
      std::ofstream file(argv[3], std::ios::binary);
      file << WriteReg(ReadTree(root.get()), rootPath, std::stoi(argv[4]));
      return file.good() ? 0 : 3;
    }
    std::ifstream file(argv[3], std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    for (const Change& change : ReadReg(bytes, rootPath)) Apply(root.get(), change);
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
    return 2;
  } catch (const storage::Exception& error) {
    std::cerr << "storage error " << error.GetErrorCode() << "\n";
    return 3;
  }
  return 0;
}
