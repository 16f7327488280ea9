#include "shareddom/SharedDOMSection.h"

#include "base/NamesEnumerator.h"
#include "base/PathUtils.h"
#include "shareddom/DOMElements.h"
#include "shareddom/MemAccessController.h"
#include "shareddom/Messages.h"
#include "shareddom/NameStrings.h"
#include "shareddom/SharedDOMKey.h"
#include "shareddom/StringFactory.h"
#include "storage/ref.h"

namespace storage {

namespace {

constexpr const char* kStringFactoryFile = messages::shareddom::kStringFactoryFile;
constexpr uint32_t kNoSid = WellKnownSids::kNoSid;

bool Missing(const StringAutoRelease& name) { return static_cast<uint32_t>(name.GetSID()) == kNoSid; }

}  // namespace

// ---- Section-level operations ---------------------------------------------

NodeRef SharedDOMSection::OpenSectionIn(NodeRef& section, const char* name) {
  const StringAutoRelease sid = names::Peek(name);
  if (Missing(sid)) throw OpenException(kErrorNotFound);
  NodeReadLock lock(section);
  return DOMElement(section).FindElement(SharedServices::Required().Sids().section, sid);
}

NodeRef SharedDOMSection::CreateSectionIn(NodeRef& section, const char* name) {
  const StringAutoRelease sid = names::Get(name);
  if (Missing(sid)) throw CreateException(kErrorNotFound);
  NodeLock lock(section);
  if (section.IsMarked()) throw CreateException(kErrorDeleted);
  bool created = false;
  return DOMElement(section).CreateElement(SharedServices::Required().Sids().section, sid, created);
}

bool SharedDOMSection::DeleteSectionIn(NodeRef& section, const char* name) {
  const StringAutoRelease sid = names::Peek(name);
  if (Missing(sid)) throw DeleteException(kErrorNotFound);
  NodeLock lock(section);
  return DOMElement(section).DeleteElement(SharedServices::Required().Sids().section, sid);
}

KeyPlace SharedDOMSection::OpenKeyIn(NodeRef& section, const char* name) {
  StringAutoRelease sid = names::Peek(name);
  if (Missing(sid)) throw OpenException(kErrorNotFound);
  NodeReadLock lock(section);
  NodeRef key = DOMElement(section).FindElement(SharedServices::Required().Sids().key, sid);
  return KeyPlace{std::move(key), section, std::move(sid)};
}

KeyPlace SharedDOMSection::OpenOrCreateKey(NodeRef& section, const char* name) {
  StringAutoRelease sid = names::Get(name);
  if (Missing(sid)) throw CreateException(kErrorNotFound);
  NodeLock lock(section);
  if (section.IsMarked()) throw CreateException(kErrorDeleted);
  const WellKnownSids& sids = SharedServices::Required().Sids();
  const DOMElement::FirstValue noValue{sids.unknown, sids.zero, sids.zero};
  bool created = false;
  NodeRef key = DOMElement(section).CreateElement(sids.key, sid, created, &noValue);
  return KeyPlace{std::move(key), section, std::move(sid)};
}

bool SharedDOMSection::DeleteKeyIn(NodeRef& section, const char* name) {
  const StringAutoRelease sid = names::Peek(name);
  if (Missing(sid)) throw DeleteException(kErrorNotFound);
  NodeLock lock(section);
  return DOMElement(section).DeleteElement(SharedServices::Required().Sids().key, sid);
}

INamesEnumerator* SharedDOMSection::EnumChildren(NodeRef& section, uint32_t kindSid) {
  Ref<NamesEnumerator> enumerator(new NamesEnumerator());
  NodeReadLock lock(section);
  for (const uint32_t sid : DOMElement(section).ChildNames(kindSid)) {
    const StringAutoRelease text = SharedServices::Required().Strings().GetString(static_cast<int32_t>(sid));
    if (text.GetHolder() == nullptr) continue;
    STORAGE_ASSERT(text.GetString() != nullptr, kStringFactoryFile,
                   messages::shareddom::kAutoReleaseGetString, nullptr);
    enumerator->Add(names::Text(text.GetString()));
  }
  return enumerator.release();
}

// ---- IStorageSection -------------------------------------------------------

NodeRef SharedDOMSection::Walk(const char* path, Step step) {
  const utils::SectionPath names = utils::Split(path);
  NodeRef current = element_;
  for (size_t i = 0; i < names.Size(); ++i) current = step(current, names.Component(i).c_str());
  return current;
}

IStorageKey* SharedDOMSection::OpenKey(const char* name) {
  if (name == nullptr) throw OpenException(kErrorMissingName);
  return TranslateExceptions(Operation::kOpen, element_, [&]() -> IStorageKey* {
    return new SharedDOMKey(OpenKeyIn(element_, name));
  });
}

IStorageKey* SharedDOMSection::CreateKey(const char* name) {
  if (name == nullptr) throw CreateException(kErrorMissingName);
  return TranslateExceptions(Operation::kCreate, element_, [&]() -> IStorageKey* {
    return new SharedDOMKey(OpenOrCreateKey(element_, name));
  });
}

IStorageSection* SharedDOMSection::OpenSection(const char* path) {
  if (path == nullptr || *path == '\0') throw OpenException(kErrorMissingName);
  return TranslateExceptions(Operation::kOpen, element_, [&]() -> IStorageSection* {
    return new SharedDOMSection(Walk(path, &OpenSectionIn));
  });
}

IStorageSection* SharedDOMSection::CreateSection(const char* path) {
  if (path == nullptr || *path == '\0') throw CreateException(kErrorMissingName);
  return TranslateExceptions(Operation::kCreate, element_, [&]() -> IStorageSection* {
    return new SharedDOMSection(Walk(path, &CreateSectionIn));
  });
}

bool SharedDOMSection::DeleteSection(const char* path) {
  if (path == nullptr || *path == '\0') throw DeleteException(kErrorMissingName);
  return TranslateExceptions(Operation::kDelete, element_, [&] {
    const utils::SectionPath names = utils::Split(path);
    // A path of separators alone names no section to delete.
    if (names.Size() == 0) throw DeleteException(kErrorMissingName);
    NodeRef parent = element_;
    for (size_t i = 0; i + 1 < names.Size(); ++i) parent = OpenSectionIn(parent, names.Component(i).c_str());
    return DeleteSectionIn(parent, names.Component(names.Size() - 1).c_str());
  });
}

bool SharedDOMSection::DeleteKey(const char* name) {
  return TranslateExceptions(Operation::kDelete, element_, [&] { return DeleteKeyIn(element_, name ? name : ""); });
}

INamesEnumerator* SharedDOMSection::EnumKeys() {
  return TranslateExceptions(Operation::kIO, element_, [&] { return EnumChildren(element_, SharedServices::Required().Sids().key); });
}

INamesEnumerator* SharedDOMSection::EnumSections() {
  return TranslateExceptions(Operation::kIO, element_, [&] { return EnumChildren(element_, SharedServices::Required().Sids().section); });
}

ISectionWatch* SharedDOMSection::Watch(bool subtree) {
  return new SectionWatch(this, SharedServices::Required().Changes(), subtree);
}

}  // namespace storage
