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
constexpr const char* kNameAttribute = "name";

bool EqualsIgnoringAsciiCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const unsigned char x = static_cast<unsigned char>(*a);
    const unsigned char y = static_cast<unsigned char>(*b);
    const unsigned char lowerX = (x >= 'A' && x <= 'Z') ? x + ('a' - 'A') : x;
    const unsigned char lowerY = (y >= 'A' && y <= 'Z') ? y + ('a' - 'A') : y;
    if (lowerX != lowerY) return false;
    if (x == '\0') return true;
  }
}

bool IsMissing(const char* name) { return name == nullptr || *name == '\0'; }

bool HasTag(const XmlNode* node, const char* tag) {
  const char* name = node->Name();
  return name != nullptr && std::strcmp(name, tag) == 0;
}

// A child element "tag" of that name, with its index in the parent's list.
struct Child {
  XmlNode* node = nullptr;
  int index = -1;
};

Child Find(XmlNode* element, const char* tag, const char* name) {
  XmlNodes* children = element->GetChildren();
  for (int index = 0; index < children->Size(); ++index) {
    XmlNode* child = children->At(index);
    if (child == nullptr || !HasTag(child, tag)) continue;
    const char* childName = child->GetAttributeValue(kNameAttribute);
    if (childName != nullptr && EqualsIgnoringAsciiCase(childName, name)) return {child, index};
  }
  return {};
}

// The existing child, or a new one appended after every other child and
// keeping the name as the caller spelled it.
XmlNode* FindOrCreate(XmlNode* element, const char* tag, const char* name) {
  if (XmlNode* existing = Find(element, tag, name).node) return existing;
  std::unique_ptr<XmlNode> child(XmlNode::CreateNode());
  child->SetName(tag);
  child->AddAttribute(kNameAttribute, name);
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
      if (const char* name = child->GetAttributeValue(kNameAttribute)) names->Add(name);
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
IStorageKey* XmlStorage::OpenKey(const char* name) {
  if (name == nullptr) throw OpenException(kErrorFailed);
  XmlNode* key = Find(element_.Live<OpenException>(), kKeyTag, name).node;
  if (key == nullptr) throw OpenException(kErrorFailed);
  return new XmlStorageKey(key);
}

IStorageKey* XmlStorage::CreateKey(const char* name) {
  if (name == nullptr) throw CreateException(kErrorFailed);
  return new XmlStorageKey(FindOrCreate(element_.Live<CreateException>(), kKeyTag, name));
}

IStorageSection* XmlStorage::OpenSection(const char* path) {
  if (IsMissing(path)) throw OpenException(kErrorFailed);
  const utils::SectionPath components = utils::Split(path);
  XmlNode* current = element_.Live<OpenException>();
  for (size_t i = 0; i < components.Size(); ++i) {
    current = Find(current, kSectionTag, components.Component(i).c_str()).node;
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
    parent = Find(parent, kSectionTag, components.Component(i).c_str()).node;
    if (parent == nullptr) throw DeleteException(kErrorNotFound);
  }
  const std::string last = components.Component(components.Size() - 1);
  const Child section = Find(parent, kSectionTag, last.c_str());
  if (section.node == nullptr) throw DeleteException(kErrorFailed);
  if (section.node->GetChildren()->Size() > 0) throw NotEmptyException(kErrorFailed);
  parent->GetChildren()->Delete(section.index);
  return true;
}

bool XmlStorage::DeleteKey(const char* name) {
  if (name == nullptr) throw DeleteException(kErrorMissingName);
  XmlNode* element = element_.Live<DeleteException>();
  const Child key = Find(element, kKeyTag, name);
  if (key.node == nullptr) throw DeleteException(kErrorNotFound);
  // The "substring" children of a key are its value, not content of its own:
  // the key goes with them.
  element->GetChildren()->Delete(key.index);
  return true;
}

INamesEnumerator* XmlStorage::EnumKeys() { return EnumerateChildren(element_.Live<IOException>(), kKeyTag); }

INamesEnumerator* XmlStorage::EnumSections() {
  return EnumerateChildren(element_.Live<IOException>(), kSectionTag);
}

}  // namespace storage
