#include "Commands.h"

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "CliError.h"
#include "StorageOpening.h"
#include "TreeCopy.h"
#include "ValueFormat.h"
#include "XmlDump.h"

namespace cli {

using storage::IStorageKey;
using storage::Ref;

namespace {

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

Ref<IStorageKey> OpenKey(IStorageSection* section, const std::string& name) {
  try {
    return Ref<IStorageKey>(section->OpenKey(name.c_str()));
  } catch (const storage::OpenException&) {
    throw CliError(kNotFound, "key " + Quoted(name) + " not found");
  }
}

// One section of a depth-first walk: its sub-sections, in sorted order, and
// how far the walk has gone through them.
struct Frame {
  Ref<IStorageSection> section;
  std::string path;  // below the walk's top, each name followed by '/'
  std::vector<std::string> sections;
  size_t next = 0;
};

// Walks the subtree below `top` depth first without recursion, since a stored
// tree may be deeper than the stack allows: `enter(frame, name)` before each
// sub-section, which is descended into when it returns true, and
// `leave(stack)` once all sub-sections of the top frame are done. The parent
// frame is still on the stack then, so `leave` may delete through it.
template <class Enter, class Leave>
void WalkDepthFirst(IStorageSection* top, Enter enter, Leave leave) {
  std::vector<Frame> stack;
  stack.push_back({Ref<IStorageSection>::share(top), "", SortedNames(top->EnumSections())});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.sections.size()) {
      leave(stack);
      stack.pop_back();
      continue;
    }
    const std::string name = frame.sections[frame.next++];
    if (!enter(frame, name)) continue;
    Ref<IStorageSection> child(frame.section->OpenSection(name.c_str()));
    std::vector<std::string> sections = SortedNames(child->EnumSections());
    std::string path = frame.path + name + "/";
    stack.push_back({std::move(child), std::move(path), std::move(sections)});
  }
}

void ListInto(IStorageSection* section, bool recursive, std::ostream& out) {
  WalkDepthFirst(
      section,
      [&](const Frame& frame, const std::string& name) {
        out << frame.path << name << "/\n";
        return recursive;
      },
      [&](const std::vector<Frame>& stack) {
        const Frame& frame = stack.back();
        for (const std::string& name : SortedNames(frame.section->EnumKeys())) {
          Ref<IStorageKey> key(frame.section->OpenKey(name.c_str()));
          out << frame.path << name << '\t' << TypeName(key->GetType()) << '\t' << key->GetSize() << '\n';
        }
      });
}

// Empties the section, sub-sections first, so that it can be deleted.
void Clear(IStorageSection* section) {
  WalkDepthFirst(
      section, [](const Frame&, const std::string&) { return true; },
      [](std::vector<Frame>& stack) {
        Frame& frame = stack.back();
        for (const std::string& name : SortedNames(frame.section->EnumKeys())) {
          frame.section->DeleteKey(name.c_str());
        }
        if (stack.size() < 2) return;
        frame.section.reset();  // released before its section is deleted
        const Frame& parent = stack[stack.size() - 2];
        parent.section->DeleteSection(parent.sections[parent.next - 1].c_str());
      });
}

}  // namespace

Ref<IStorageSection> OpenExisting(IStorageSection* root, const std::string& section) {
  const std::string path = NormalizeSectionPath(section);
  if (path.empty()) return Ref<IStorageSection>::share(root);
  try {
    return Ref<IStorageSection>(root->OpenSection(path.c_str()));
  } catch (const storage::OpenException&) {
    // The backends give different codes for a missing item; the tool says it in one way.
    throw CliError(kNotFound, "section " + Quoted(section) + " not found");
  }
}

Ref<IStorageSection> OpenOrCreate(IStorageSection* root, const std::string& section) {
  const std::string path = NormalizeSectionPath(section);
  if (path.empty()) return Ref<IStorageSection>::share(root);
  return Ref<IStorageSection>(root->CreateSection(path.c_str()));
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw CliError(kNotFound, "cannot read the file " + Quoted(path));
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void List(IStorageSection* root, const std::string& section, bool recursive, std::ostream& out) {
  Ref<IStorageSection> opened = OpenExisting(root, section);
  ListInto(opened.get(), recursive, out);
}

void Get(IStorageSection* root, const std::string& section, const std::string& key, bool raw,
         std::ostream& out) {
  Ref<IStorageSection> opened = OpenExisting(root, section);
  Ref<IStorageKey> opened_key = OpenKey(opened.get(), key);
  const storage::Type type = opened_key->GetType();
  if (type == storage::TYPE_UNKNOWN) throw CliError(kNotFound, "key " + Quoted(key) + " holds no value");
  const std::string bytes = ReadValue(opened_key.get());
  if (raw) {
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  } else {
    out << FormatValue(type, bytes);
  }
}

void Set(IStorageSection* root, const std::string& section, const std::string& key, storage::Type type,
         const std::string& value) {
  Ref<IStorageSection> opened = OpenOrCreate(root, section);
  Ref<IStorageKey> created(opened->CreateKey(key.c_str()));
  created->Write(type, value.data(), static_cast<unsigned>(value.size()));
}

void Remove(IStorageSection* root, const std::string& section, const std::string& key) {
  Ref<IStorageSection> opened = OpenExisting(root, section);
  OpenKey(opened.get(), key);  // a missing key is "not found", whatever the backend says
  opened->DeleteKey(key.c_str());
}

void RemoveSection(IStorageSection* root, const std::string& section, bool recursive) {
  const std::string path = NormalizeSectionPath(section);
  if (path.empty()) throw CliError(kUsage, "rmsection needs a section below the storage's root");
  Ref<IStorageSection> opened = OpenExisting(root, path);
  if (recursive) {
    Clear(opened.get());
  }
  opened.reset();
  try {
    root->DeleteSection(path.c_str());
  } catch (const storage::NotEmptyException& error) {
    throw CliError(kFailure,
                   "section " + Quoted(section) + " is not empty (use -r): " + error.GetErrorString());
  }
}

void Dump(IStorageSection* root, const std::string& section, std::ostream& out) {
  Ref<IStorageSection> opened = OpenExisting(root, section);
  out << DumpXml(opened.get());
}

void Load(IStorageSection* root, const std::string& file, const std::string& section) {
  // Checked before the target section is made: a refused document leaves
  // no empty section behind.
  const Ref<IStorageSection> source = CheckedXml(ReadFileBytes(file));
  Ref<IStorageSection> target = OpenOrCreate(root, section);
  CopyTree(source.get(), target.get());
}

}  // namespace cli
