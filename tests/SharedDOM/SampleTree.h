// A small settings tree with a value of every type, in numbered parts, that
// one process writes and another checks: across live processes, across a
// reload from the hive files, and between storages that must stay apart.
#ifndef SETTINGSTORE_TESTS_SHAREDDOM_SAMPLETREE_H
#define SETTINGSTORE_TESTS_SHAREDDOM_SAMPLETREE_H

#include <cstdint>
#include <string>
#include <vector>

#include "SharedDOM/SharedDomTestSupport.h"

namespace settingstore::test {

struct SampleValue {
  std::string section;  // path below the root
  std::string key;
  storage::Type type;
  std::string bytes;  // what Read gives back, GetSize() of them
};

inline std::string SamplePartName(int part) { return "Part" + std::to_string(part); }

// Part n lives under the root section "Part<n>"; its texts carry n, so that
// two parts never hold equal values.
inline std::vector<SampleValue> SampleValues(int part) {
  const std::string top = SamplePartName(part);
  const std::string n = std::to_string(part);
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>((b + part) & 0xFF));
  const uint32_t number = 0xFFFFFF00u + static_cast<uint32_t>(part);
  return {
      {top, "Title", storage::TYPE_STRING, "Window Title " + n + std::string(1, '\0')},
      {top, "Count", storage::TYPE_INTEGER, std::string(reinterpret_cast<const char*>(&number), 4)},
      {top + "/Display/Colors", "Palette", storage::TYPE_BINARY, all_bytes},
      {top + "/Display/Colors", "Empty", storage::TYPE_BINARY, ""},
      {top + "/Display", "Fonts", storage::TYPE_MULTI_STRING,
       "Sans " + n + std::string(1, '\0') + "Mono" + std::string(2, '\0')},
      {top + "/Display", "MixedCase", storage::TYPE_STRING, "MiXeD " + n + std::string(1, '\0')},
  };
}

// Section paths below the root in the order WriteSample first makes them.
inline std::vector<std::string> SampleSections(int part) {
  const std::string top = SamplePartName(part);
  return {top, top + "/Display", top + "/Display/Colors"};
}

inline void WriteSample(IStorageSection& root, int part) {
  for (const SampleValue& value : SampleValues(part)) {
    Ref<IStorageSection> section(root.CreateSection(value.section.c_str()));
    Ref<IStorageKey> key(section->CreateKey(value.key.c_str()));
    key->Write(value.type, value.bytes.data(), static_cast<unsigned>(value.bytes.size()));
  }
}

// Empty when the part is there exactly as WriteSample left it; otherwise
// what differs.
inline std::string CheckSample(IStorageSection& root, int part) {
  std::string problems;
  try {
    for (const SampleValue& value : SampleValues(part)) {
      const std::string where = value.section + "/" + value.key;
      Ref<IStorageSection> section(root.OpenSection(value.section.c_str()));
      Ref<IStorageKey> key(section->OpenKey(value.key.c_str()));
      if (key->GetType() != value.type) problems += where + ": type " + std::to_string(key->GetType()) + "\n";
      if (ReadBytes(*key) != value.bytes) problems += where + ": value differs\n";
    }
    Ref<IStorageSection> top(root.OpenSection(SamplePartName(part).c_str()));
    if (Names(top->EnumKeys()) != std::vector<std::string>{"Title", "Count"}) problems += "keys of the top\n";
    if (Names(top->EnumSections()) != std::vector<std::string>{"Display"})
      problems += "sections of the top\n";
    Ref<IStorageSection> display(top->OpenSection("Display"));
    if (Names(display->EnumKeys()) != std::vector<std::string>{"Fonts", "MixedCase"}) {
      problems += "keys of Display\n";
    }
  } catch (const storage::Exception& e) {
    problems += "storage::Exception " + std::to_string(e.GetErrorCode()) + "\n";
  }
  return problems;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDDOM_SAMPLETREE_H
