#include "TreeCopy.h"

#include <algorithm>

namespace cli {

using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;

std::vector<std::string> SortedNames(storage::INamesEnumerator* names) {
  Ref<storage::INamesEnumerator> held(names);
  std::vector<std::string> sorted;
  held->Reset();
  while (held->Next()) sorted.emplace_back(held->Current());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

std::string ReadValue(IStorageKey* key) {
  std::string bytes(key->GetSize(), '\0');
  key->Read(bytes.data(), static_cast<unsigned>(bytes.size()));
  return bytes;
}

void CopyTree(IStorageSection* from, IStorageSection* to) {
  for (const std::string& name : SortedNames(from->EnumKeys())) {
    Ref<IStorageKey> source(from->OpenKey(name.c_str()));
    Ref<IStorageKey> target(to->CreateKey(name.c_str()));
    const storage::Type type = source->GetType();
    // A key created but never written has no value to carry over.
    if (type == storage::TYPE_UNKNOWN) continue;
    const std::string bytes = ReadValue(source.get());
    target->Write(type, bytes.data(), static_cast<unsigned>(bytes.size()));
  }
  for (const std::string& name : SortedNames(from->EnumSections())) {
    Ref<IStorageSection> source(from->OpenSection(name.c_str()));
    Ref<IStorageSection> target(to->CreateSection(name.c_str()));
    CopyTree(source.get(), target.get());
  }
}

}  // namespace cli
