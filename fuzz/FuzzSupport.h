// Pieces the fuzz targets share: telling a documented failure from a fault,
// and walking a whole storage tree the way a host reads it.
#ifndef SETTINGSTORE_FUZZ_FUZZSUPPORT_H
#define SETTINGSTORE_FUZZ_FUZZSUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Exceptions.h"
#include "storage/storage.h"

namespace fuzz {

// Stops the run with a message libFuzzer keeps next to the input.
[[noreturn]] inline void Fault(const std::string& what) {
  std::fprintf(stderr, "FUZZ FAULT: %s\n", what.c_str());
  std::abort();
}

inline void Check(bool condition, const char* what) {
  if (!condition) Fault(what);
}

// Runs step; the failures a caller of the library is told to expect end it
// quietly, anything else (an assertion of the library, a stray standard
// exception) is a fault. True when step ran to its end.
template <typename Step>
bool RunDocumented(Step&& step) {
  try {
    std::forward<Step>(step)();
    return true;
  } catch (const CVelXmlParseException&) {
  } catch (...) {
    const storage::Failure failure = storage::CurrentFailure();
    switch (failure.root) {
      case storage::Failure::Root::kStorage:
      case storage::Failure::Root::kTechnical:
        break;
      case storage::Failure::Root::kAssert:
        Fault(std::string(failure.RootClassName()) + ": " + failure.message);
      case storage::Failure::Root::kStandard:
        Fault("unexpected exception: " + failure.message);
      case storage::Failure::Root::kUnknown:
        throw;
    }
  }
  return false;
}

// A name that OpenSection takes as one component: separators split it, a
// ":" starts a drive prefix and an empty path names nothing, so such sections
// cannot be reached by name.
inline bool IsSingleComponent(std::string_view name) {
  return !name.empty() && name.find_first_of("\\/:") == std::string_view::npos;
}

inline std::vector<std::string> Names(storage::INamesEnumerator* enumerator) {
  storage::Ref<storage::INamesEnumerator> held(enumerator);
  std::vector<std::string> names;
  Check(static_cast<bool>(held), "an enumeration returned null");
  held->Reset();
  while (held->Next()) {
    const char* name = held->Current();
    Check(name != nullptr, "an enumerator gave a null name");
    names.emplace_back(name);
  }
  return names;
}

// Reads a key as a host does: type, size, then the value into a buffer of
// exactly that size (so that a read past it is caught), and once more into
// one byte less, which must fail cleanly or fit.
inline void ReadKey(storage::IStorageKey* key) {
  RunDocumented([&] {
    const storage::Type type = key->GetType();
    const unsigned size = key->GetSize();
    if (type == storage::TYPE_UNKNOWN || size > (1u << 24)) return;
    std::vector<char> exact(size);
    RunDocumented([&] { key->Read(exact.data(), size); });
    if (size > 0) {
      std::vector<char> short_buffer(size - 1);
      RunDocumented([&] { key->Read(short_buffer.data(), size - 1); });
    }
  });
}

// Visits every reachable section and reads every key, with a bound on the
// sections visited so that any tree ends. With names_must_open, a key or
// section that an enumeration names and that fails to open is a fault (a
// damaged shared storage may refuse them). Each key opened is handed to
// on_key after it was read, when one is given. Returns the sections visited.
inline size_t WalkTree(storage::IStorageSection* root, bool names_must_open,
                       const std::function<void(storage::IStorageKey*)>& on_key = nullptr,
                       size_t max_sections = 4096) {
  std::vector<storage::Ref<storage::IStorageSection>> pending;
  pending.push_back(storage::Ref<storage::IStorageSection>::share(root));
  size_t visited = 0;
  while (!pending.empty() && visited < max_sections) {
    storage::Ref<storage::IStorageSection> section = std::move(pending.back());
    pending.pop_back();
    ++visited;
    std::vector<std::string> keys;
    RunDocumented([&] { keys = Names(section->EnumKeys()); });
    for (const std::string& name : keys) {
      const bool opened = RunDocumented([&] {
        storage::Ref<storage::IStorageKey> key(section->OpenKey(name.c_str()));
        Check(static_cast<bool>(key), "OpenKey returned null for an enumerated key");
        ReadKey(key.get());
        if (on_key) on_key(key.get());
      });
      // An empty name counts as missing in every call that takes one.
      if (names_must_open && !opened && !name.empty()) Fault("an enumerated key does not open: " + name);
    }
    std::vector<std::string> sections;
    RunDocumented([&] { sections = Names(section->EnumSections()); });
    for (const std::string& name : sections) {
      if (!IsSingleComponent(name)) continue;
      const bool opened = RunDocumented([&] {
        storage::Ref<storage::IStorageSection> child(section->OpenSection(name.c_str()));
        Check(static_cast<bool>(child), "OpenSection returned null for an enumerated section");
        pending.push_back(std::move(child));
      });
      if (names_must_open && !opened) Fault("an enumerated section does not open: " + name);
    }
  }
  return visited;
}

}  // namespace fuzz

#endif  // SETTINGSTORE_FUZZ_FUZZSUPPORT_H
