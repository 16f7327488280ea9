#include "TreeCopy.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

#include "CliError.h"
#include "base/PathUtils.h"

namespace cli {

using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;

namespace {

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// The sections reached so far, each with the index of its parent, so that a
// message can name any of them by its full path although the walk carries no
// path strings (those would grow with the square of the depth).
class Trail {
 public:
  static constexpr size_t kRoot = 0;

  Trail() { entries_.push_back({"", kRoot}); }

  size_t add(const std::string& name, size_t parent) {
    entries_.push_back({name, parent});
    return entries_.size() - 1;
  }

  // "at the top", or "in 'a/b'" for a section below it.
  std::string where(size_t place) const {
    if (place == kRoot) return "at the top";
    std::vector<const std::string*> names;
    for (; place != kRoot; place = entries_[place].parent) names.push_back(&entries_[place].name);
    std::string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
      if (!path.empty()) path += '/';
      path += **name;
    }
    return "in " + Quoted(path);
  }

 private:
  struct Entry {
    std::string name;
    size_t parent;
  };
  std::vector<Entry> entries_;
};

// One section of the source still to visit, with its copy (none when only
// checking) and its place in the trail.
struct Pending {
  Ref<IStorageSection> source;
  Ref<IStorageSection> target;
  size_t place;
};

// The backends split a section name at '/' and '\' and drop what precedes a
// ':', so only a name that splits into itself alone is one section; any other
// would reopen the parent (the copy then never ends) or land elsewhere.
bool IsOneSectionName(const std::string& name) {
  const storage::utils::SectionPath split = storage::utils::Split(name.c_str());
  return split.Size() == 1 && split.Component(0) == name;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The backends compare names without regard to ASCII case: of two names that
// differ only in case, the second would be read and written as the first.
void CheckDistinct(const std::vector<std::string>& names, const char* kind, const Trail& trail,
                   size_t place) {
  if (names.size() < 2) return;
  std::vector<std::pair<std::string, const std::string*>> lowered;
  lowered.reserve(names.size());
  for (const std::string& name : names) lowered.emplace_back(LowerAscii(name), &name);
  std::stable_sort(lowered.begin(), lowered.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  const auto same = std::adjacent_find(lowered.begin(), lowered.end(),
                                       [](const auto& a, const auto& b) { return a.first == b.first; });
  if (same == lowered.end()) return;
  throw CliError(kFailure, std::string(kind) + " " + Quoted(*same->second) + " and " +
                               Quoted(*std::next(same)->second) + " " + trail.where(place) +
                               " would be one (names ignore case)");
}

void CheckNames(const std::vector<std::string>& keys, const std::vector<std::string>& sections,
                const Trail& trail, size_t place) {
  for (const std::string& name : sections) {
    if (!IsOneSectionName(name)) {
      throw CliError(kFailure, "section name " + Quoted(name) + " " + trail.where(place) +
                                   " is not one name: it must be non-empty and hold no '/', '\\' or ':'");
    }
  }
  CheckDistinct(keys, "keys", trail, place);
  CheckDistinct(sections, "sections", trail, place);
}

// Reads the key fully, so that a value the source cannot give stops the walk
// here, and writes it to `to` when there is one.
void CopyKey(IStorageSection* from, IStorageSection* to, const std::string& name, const Trail& trail,
             size_t place) {
  const auto failure = [&](const std::string& reason) {
    return CliError(kFailure, "key " + Quoted(name) + " " + trail.where(place) + " " + reason);
  };
  storage::Type type = storage::TYPE_UNKNOWN;
  std::string bytes;
  try {
    Ref<IStorageKey> source(from->OpenKey(name.c_str()));
    type = source->GetType();
    // A key created but never written has no value to carry over.
    if (type != storage::TYPE_UNKNOWN) bytes = ReadValue(source.get());
  } catch (const storage::Exception& error) {
    throw failure(std::string("cannot be read: ") + error.GetErrorString() + " (error " +
                  std::to_string(error.GetErrorCode()) + ")");
  } catch (const CliError&) {
    throw failure("cannot be read");
  }
  if (to == nullptr) return;
  Ref<IStorageKey> target(to->CreateKey(name.c_str()));
  if (type == storage::TYPE_UNKNOWN) return;
  if (!target->Write(type, bytes.data(), static_cast<unsigned>(bytes.size()))) {
    throw failure("cannot be written");
  }
}

// Depth first with a stack of its own, since a document may nest far deeper
// than the call stack reaches. A section's children are opened (and their
// copies made) when it is visited, and the section is let go then, so a deep
// chain keeps only a few sections open. Without `to`, only checks.
void Walk(IStorageSection* from, IStorageSection* to) {
  Trail trail;
  std::vector<Pending> stack;
  stack.push_back({Ref<IStorageSection>::share(from), Ref<IStorageSection>::share(to), Trail::kRoot});
  std::vector<Pending> children;
  while (!stack.empty()) {
    const Pending current = std::move(stack.back());
    stack.pop_back();
    const std::vector<std::string> keys = SortedNames(current.source->EnumKeys());
    const std::vector<std::string> sections = SortedNames(current.source->EnumSections());
    CheckNames(keys, sections, trail, current.place);

    for (const std::string& name : keys) {
      CopyKey(current.source.get(), current.target.get(), name, trail, current.place);
    }
    children.clear();
    for (const std::string& name : sections) {
      Ref<IStorageSection> source(current.source->OpenSection(name.c_str()));
      Ref<IStorageSection> target;
      if (current.target) target.reset(current.target->CreateSection(name.c_str()));
      children.push_back({std::move(source), std::move(target), trail.add(name, current.place)});
    }
    // Reversed onto the stack, the siblings are visited in sorted order.
    std::move(children.rbegin(), children.rend(), std::back_inserter(stack));
  }
}

}  // namespace

std::vector<std::string> SortedNames(storage::INamesEnumerator* names) {
  Ref<storage::INamesEnumerator> held(names);
  std::vector<std::string> sorted;
  held->Reset();
  while (held->Next()) sorted.emplace_back(held->Current());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

std::string ReadValue(IStorageKey* key) {
  // An integer is 32 bits, whatever size a hand-edited storage records for it
  // (a size taken on trust could ask for gigabytes).
  const unsigned size = key->GetType() == storage::TYPE_INTEGER ? sizeof(int32_t) : key->GetSize();
  std::string bytes(size, '\0');
  if (!key->Read(bytes.data(), static_cast<unsigned>(bytes.size()))) {
    throw CliError(kFailure, "the key's value cannot be read");
  }
  return bytes;
}

void CheckTree(IStorageSection* from) { Walk(from, nullptr); }

void CopyTree(IStorageSection* from, IStorageSection* to) { Walk(from, to); }

}  // namespace cli
