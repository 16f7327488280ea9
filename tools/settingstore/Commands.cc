#include "Commands.h"

#include <fstream>
#include <iterator>

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

Ref<IStorageSection> OpenExisting(IStorageSection* root, const std::string& section) {
  const std::string path = NormalizeSectionPath(section);
  if (path.empty()) return Ref<IStorageSection>::share(root);
  try {
    return Ref<IStorageSection>(root->OpenSection(path.c_str()));
  } catch (const storage::OpenException& error) {
    throw CliError(kNotFound, "section " + Quoted(section) + " not found: " + error.GetErrorString());
  }
}

Ref<IStorageSection> OpenOrCreate(IStorageSection* root, const std::string& section) {
  const std::string path = NormalizeSectionPath(section);
  if (path.empty()) return Ref<IStorageSection>::share(root);
  return Ref<IStorageSection>(root->CreateSection(path.c_str()));
}

Ref<IStorageKey> OpenKey(IStorageSection* section, const std::string& name) {
  try {
    return Ref<IStorageKey>(section->OpenKey(name.c_str()));
  } catch (const storage::OpenException& error) {
    throw CliError(kNotFound, "key " + Quoted(name) + " not found: " + error.GetErrorString());
  }
}

void ListInto(IStorageSection* section, const std::string& prefix, bool recursive, std::ostream& out) {
  const std::vector<std::string> sections = SortedNames(section->EnumSections());
  for (const std::string& name : sections) {
    out << prefix << name << "/\n";
    if (recursive) {
      Ref<IStorageSection> child(section->OpenSection(name.c_str()));
      ListInto(child.get(), prefix + name + "/", true, out);
    }
  }
  for (const std::string& name : SortedNames(section->EnumKeys())) {
    Ref<IStorageKey> key(section->OpenKey(name.c_str()));
    out << prefix << name << '\t' << TypeName(key->GetType()) << '\t' << key->GetSize() << '\n';
  }
}

// Empties the section, sub-sections first, so that it can be deleted.
void Clear(IStorageSection* section) {
  for (const std::string& name : SortedNames(section->EnumSections())) {
    {
      Ref<IStorageSection> child(section->OpenSection(name.c_str()));
      Clear(child.get());
    }
    section->DeleteSection(name.c_str());
  }
  for (const std::string& name : SortedNames(section->EnumKeys())) section->DeleteKey(name.c_str());
}

}  // namespace

std::string ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw CliError(kNotFound, "cannot read the file " + Quoted(path));
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void List(IStorageSection* root, const std::string& section, bool recursive, std::ostream& out) {
  Ref<IStorageSection> opened = OpenExisting(root, section);
  ListInto(opened.get(), "", recursive, out);
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
  const std::string document = ReadFileBytes(file);
  Ref<IStorageSection> target = OpenOrCreate(root, section);
  LoadXml(document, target.get());
}

}  // namespace cli
