#include "xmlfile/XmlStorage.h"

#include <cstring>
#include <memory>

#include "base/Exceptions.h"
#include "base/NamesEnumerator.h"
#include "base/PathUtils.h"
#include "xmlfile/XmlStorageKey.h"

namespace storage {

namespace {

constexpr const char* kSectionTag = "section";
constexpr const char* kKeyTag = "key";

bool IsMissing(const char* name) { return name == nullptr || *name == '\0'; }

bool HasTag(const XmlNode* node, const char* tag) {
  const char* name = node->Name();
  return name != nullptr && std::strcmp(name, tag) == 0;
}

XmlNode* Find(XmlNode* element, const char* tag, const char* name) {
  return element->GetChildren()->Find(tag, name);
}

// The existing child, or a new one appended after every other child and
// keeping the name as the caller spelled it.
XmlNode* FindOrCreate(XmlNode* element, const char* tag, const char* name) {
  if (XmlNode* existing = Find(element, tag, name)) return existing;
  std::unique_ptr<XmlNode> child(XmlNode::CreateNode());
  child->SetName(tag);
  child->AddAttribute(XmlNode::kNameAttribute, name);
  XmlNode* created = child.get();
  element->GetChildren()->Add(child.release());
  return created;
}

INamesEnumerator* EnumerateChildren(XmlNode* element, const char* tag) {
  auto* names = new NamesEnumerator();
  try {
    const XmlNodes* children = element->GetChildren();
    for (int index = 0; index < children->Size(); ++index) {
      const XmlNode* child = children->At(index);
      if (child == nullptr || !HasTag(child, tag)) continue;
      if (const char* name = child->GetAttributeValue(XmlNode::kNameAttribute)) names->Add(name);
    }
  } catch (...) {
    names->Release();
    throw;
  }
  return names;
}

}  // namespace

XmlStorage::XmlStorage(XmlNode* element) : element_(element) {}

// Only a null key name is missing: the empty name is a key like any other, as
// the registry's default value, so that a tree copied between backends keeps it.
XmlNode* XmlStorage::FindKey(const char* name) {
  if (name == nullptr) throw OpenException(kErrorFailed);
  XmlNode* key = Find(element_.Live<OpenException>(), kKeyTag, name);
  if (key == nullptr) throw OpenException(kErrorFailed);
  return key;
}

XmlNode* XmlStorage::FindOrCreateKey(const char* name) {
  if (name == nullptr) throw CreateException(kErrorFailed);
  return FindOrCreate(element_.Live<CreateException>(), kKeyTag, name);
}

IStorageKey* XmlStorage::OpenKey(const char* name) { return new XmlStorageKey(FindKey(name)); }

IStorageKey* XmlStorage::CreateKey(const char* name) { return new XmlStorageKey(FindOrCreateKey(name)); }

IStorageSection* XmlStorage::OpenSection(const char* path) {
  if (IsMissing(path)) throw OpenException(kErrorFailed);
  const utils::SectionPath components = utils::Split(path);
  XmlNode* current = element_.Live<OpenException>();
  for (size_t i = 0; i < components.Size(); ++i) {
    current = Find(current, kSectionTag, components.Component(i).c_str());
    if (current == nullptr) throw OpenException(kErrorFailed);
  }
  return new XmlStorage(current);
}

IStorageSection* XmlStorage::CreateSection(const char* path) {
  if (IsMissing(path)) throw CreateException(kErrorFailed);
  const utils::SectionPath components = utils::Split(path);
  XmlNode* current = element_.Live<CreateException>();
  for (size_t i = 0; i < components.Size(); ++i) {
    current = FindOrCreate(current, kSectionTag, components.Component(i).c_str());
  }
  return new XmlStorage(current);
}

bool XmlStorage::DeleteSection(const char* path) {
  if (IsMissing(path)) throw DeleteException(kErrorMissingName);
  const utils::SectionPath components = utils::Split(path);
  // A path of separators only names no section to delete; this section is
  // not deleted through itself.
  if (components.Size() == 0) throw DeleteException(kErrorMissingName);
  XmlNode* parent = element_.Live<DeleteException>();
  for (size_t i = 0; i + 1 < components.Size(); ++i) {
    parent = Find(parent, kSectionTag, components.Component(i).c_str());
    if (parent == nullptr) throw DeleteException(kErrorNotFound);
  }
  const std::string last = components.Component(components.Size() - 1);
  const XmlNode* section = Find(parent, kSectionTag, last.c_str());
  if (section == nullptr) throw DeleteException(kErrorFailed);
  if (section->GetChildren()->Size() > 0) throw NotEmptyException(kErrorFailed);
  parent->GetChildren()->Delete(parent->GetChildren()->IndexOf(section));
  return true;
}

bool XmlStorage::DeleteKey(const char* name) {
  if (name == nullptr) throw DeleteException(kErrorMissingName);
  XmlNode* element = element_.Live<DeleteException>();
  const XmlNode* key = Find(element, kKeyTag, name);
  if (key == nullptr) throw DeleteException(kErrorNotFound);
  // The "substring" children of a key are its value, not content of its own:
  // the key goes with them.
  element->GetChildren()->Delete(element->GetChildren()->IndexOf(key));
  return true;
}

INamesEnumerator* XmlStorage::EnumKeys() { return EnumerateChildren(element_.Live<IOException>(), kKeyTag); }

INamesEnumerator* XmlStorage::EnumSections() {
  return EnumerateChildren(element_.Live<IOException>(), kSectionTag);
}

}  // namespace storage
