#include "exchange/Transfer.h"

#include <cstdint>
#include <utility>

#include "Commands.h"
#include "TreeCopy.h"
#include "base/PathUtils.h"

namespace cli::exchange {

using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;

namespace {

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::string Joined(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + '\\' + name;
}

void CheckSectionPath(const std::string& path) {
  if (path.empty()) return;
  for (size_t start = 0;;) {
    const size_t end = path.find('\\', start);
    const std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!IsSectionName(name)) {
      throw CliError(kUsage, "section path " + Quoted(path) + " holds the name " + Quoted(name) +
                                 ", which is no section name");
    }
    if (end == std::string::npos) return;
    start = end + 1;
  }
}

void CheckChange(const Change& change) {
  CheckSectionPath(change.section);
  if (change.kind == Change::Kind::kDeleteSection && change.section.empty()) {
    throw CliError(kUsage, "an import cannot delete the section it goes into");
  }
  if (change.name.find('\0') != std::string::npos) {
    throw CliError(kUsage,
                   "key name " + Quoted(change.name.substr(0, change.name.find('\0'))) + " holds a NUL");
  }
  if (change.kind != Change::Kind::kSetValue) return;
  if (change.value.type < storage::TYPE_UNKNOWN || change.value.type > storage::TYPE_MULTI_STRING) {
    throw CliError(kUsage, "key " + Quoted(change.name) + " has no value type the storage knows");
  }
  if (change.value.type == storage::TYPE_INTEGER && change.value.bytes.size() != sizeof(int32_t)) {
    throw CliError(kUsage, "key " + Quoted(change.name) + " holds an integer that is not 32 bits");
  }
}

// The section below `target`, or none when it is not there.
Ref<IStorageSection> OpenIfThere(IStorageSection* target, const std::string& path) {
  if (path.empty()) return Ref<IStorageSection>::share(target);
  try {
    return Ref<IStorageSection>(target->OpenSection(path.c_str()));
  } catch (const storage::OpenException&) {
    return {};
  }
}

void Apply(const Change& change, IStorageSection* target) {
  switch (change.kind) {
    case Change::Kind::kCreateSection:
      OpenOrCreate(target, change.section);
      return;
    case Change::Kind::kDeleteSection:
      if (OpenIfThere(target, change.section)) RemoveSection(target, change.section, true);
      return;
    case Change::Kind::kSetValue: {
      Ref<IStorageSection> section = OpenOrCreate(target, change.section);
      Ref<IStorageKey> key(section->CreateKey(change.name.c_str()));
      const std::string& bytes = change.value.bytes;
      if (change.value.type != storage::TYPE_UNKNOWN &&
          !key->Write(change.value.type, bytes.data(), static_cast<unsigned>(bytes.size()))) {
        throw CliError(kFailure, "key " + Quoted(change.name) + " cannot be written");
      }
      return;
    }
    case Change::Kind::kDeleteKey: {
      Ref<IStorageSection> section = OpenIfThere(target, change.section);
      if (!section) return;
      try {
        Ref<IStorageKey> key(section->OpenKey(change.name.c_str()));
      } catch (const storage::OpenException&) {
        return;
      }
      section->DeleteKey(change.name.c_str());
      return;
    }
  }
}

}  // namespace

bool IsSectionName(const std::string& name) {
  const storage::utils::SectionPath split = storage::utils::Split(name.c_str());
  return split.Size() == 1 && split.Component(0) == name;
}

// Level by level with a stack of its own, since a stored tree may be deeper
// than the call stack reaches. A section's children are all in place before
// any is filled, so the pointers to them stay valid.
Section ReadSection(IStorageSection* from) {
  Section tree;
  std::vector<std::pair<Ref<IStorageSection>, Section*>> pending;
  pending.emplace_back(Ref<IStorageSection>::share(from), &tree);
  while (!pending.empty()) {
    auto [source, into] = std::move(pending.back());
    pending.pop_back();
    for (const std::string& name : SortedNames(source->EnumKeys())) {
      Ref<IStorageKey> key(source->OpenKey(name.c_str()));
      Value value{key->GetType(), {}};
      if (value.type != storage::TYPE_UNKNOWN) value.bytes = ReadValue(key.get());
      into->keys.emplace_back(name, std::move(value));
    }
    for (const std::string& name : SortedNames(source->EnumSections())) {
      into->sections.emplace_back(name, Section{});
    }
    for (auto& [name, section] : into->sections) {
      pending.emplace_back(Ref<IStorageSection>(source->OpenSection(name.c_str())), &section);
    }
  }
  return tree;
}

std::vector<Change> ChangesOf(const Section& tree) {
  std::vector<Change> changes;
  std::vector<std::pair<const Section*, std::string>> pending{{&tree, ""}};
  while (!pending.empty()) {
    auto [section, path] = std::move(pending.back());
    pending.pop_back();
    if (!path.empty()) changes.push_back({Change::Kind::kCreateSection, path, "", {}});
    for (const auto& [name, value] : section->keys) {
      changes.push_back({Change::Kind::kSetValue, path, name, value});
    }
    for (auto child = section->sections.rbegin(); child != section->sections.rend(); ++child) {
      pending.emplace_back(&child->second, Joined(path, child->first));
    }
  }
  return changes;
}

void CheckChanges(const std::vector<Change>& changes) {
  for (const Change& change : changes) CheckChange(change);
}

void ApplyChanges(const std::vector<Change>& changes, IStorageSection* target) {
  CheckChanges(changes);
  for (const Change& change : changes) Apply(change, target);
}

}  // namespace cli::exchange
