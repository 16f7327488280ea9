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

// `checked` is a path found good before: the names it shares with `path`
// are not looked at again, so a tree listed top down costs a check per level.
void CheckSectionPath(const std::string& path, const std::string& checked) {
  if (path.empty() || path == checked) return;
  const bool below = !checked.empty() && path.size() > checked.size() && path.starts_with(checked) &&
                     path[checked.size()] == '\\';
  for (size_t start = below ? checked.size() + 1 : 0;;) {
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

void CheckChange(const Change& change, const std::string& checked) {
  CheckSectionPath(change.section, checked);
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

// Makes the changes in order. The section last made is kept, so that a tree
// made top down opens each section from its parent rather than from the
// target through every level above it.
class Applier {
 public:
  explicit Applier(IStorageSection* target) : target_(target) {}

  void Apply(const Change& change) {
    switch (change.kind) {
      case Change::Kind::kCreateSection:
        Made(change.section);
        return;
      case Change::Kind::kDeleteSection:
        Forget();
        if (OpenIfThere(target_, change.section)) RemoveSection(target_, change.section, true);
        return;
      case Change::Kind::kSetValue: {
        Ref<IStorageKey> key(Made(change.section)->CreateKey(change.name.c_str()));
        const std::string& bytes = change.value.bytes;
        if (change.value.type != storage::TYPE_UNKNOWN &&
            !key->Write(change.value.type, bytes.data(), static_cast<unsigned>(bytes.size()))) {
          throw CliError(kFailure, "key " + Quoted(change.name) + " cannot be written");
        }
        return;
      }
      case Change::Kind::kDeleteKey: {
        Forget();
        Ref<IStorageSection> section = OpenIfThere(target_, change.section);
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

 private:
  IStorageSection* Made(const std::string& path) {
    if (path.empty()) return target_;
    if (!last_ || path != lastPath_) {
      const bool below = last_ && path.size() > lastPath_.size() && path.starts_with(lastPath_) &&
                         path[lastPath_.size()] == '\\';
      last_ = below ? Ref<IStorageSection>(last_->CreateSection(path.c_str() + lastPath_.size() + 1))
                    : OpenOrCreate(target_, path);
      lastPath_ = path;
    }
    return last_.get();
  }

  void Forget() {
    last_.reset();
    lastPath_.clear();
  }

  IStorageSection* target_;
  Ref<IStorageSection> last_;
  std::string lastPath_;
};

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

void Dismantle(Section& tree) {
  std::vector<Section> pending;
  pending.push_back(std::move(tree));
  while (!pending.empty()) {
    Section section = std::move(pending.back());
    pending.pop_back();
    for (auto& [name, child] : section.sections) pending.push_back(std::move(child));
  }
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
  const std::string* checked = nullptr;
  for (const Change& change : changes) {
    CheckChange(change, checked ? *checked : std::string());
    checked = &change.section;
  }
}

void ApplyChanges(const std::vector<Change>& changes, IStorageSection* target) {
  CheckChanges(changes);
  Applier applier(target);
  for (const Change& change : changes) applier.Apply(change);
}

}  // namespace cli::exchange
