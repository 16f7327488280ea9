#include "xmlfile/MTStorage.h"

#include <utility>

#include "base/Mutex.h"

namespace storage {

MTStorage::MTStorage(XmlStorage* inner, std::shared_ptr<XmlDocument> document)
    : document_(std::move(document)), inner_(inner) {}

IStorageSection* MTStorage::Wrap(IStorageSection* section) const {
  // Every section an XmlStorage hands out is one.
  Ref<XmlStorage> adopted(static_cast<XmlStorage*>(section));
  auto* wrapper = new MTStorage(adopted.get(), document_);
  (void)adopted.release();
  return wrapper;
}

IStorageKey* MTStorage::KeyFor(XmlNode* element) {
  // A remembered key whose element was deleted keeps it pinned, so no new
  // element can have its address.
  size_t slot = kRecentKeys;  // a scan without branches: where a key is found is unforeseeable
  for (size_t i = 0; i < kRecentKeys; ++i) slot = recentElements_[i] == element ? i : slot;
  if (slot == kRecentKeys) {
    slot = nextRecent_;
    recentKeys_[slot].reset(new MTStorageKey(element, document_));
    recentElements_[slot] = element;
    nextRecent_ = (nextRecent_ + 1) % kRecentKeys;
  }
  return Ref<MTStorageKey>::share(recentKeys_[slot].get()).release();
}

IStorageKey* MTStorage::OpenKey(const char* name) {
  threads::MutexGuard guard(document_->mutex);
  return KeyFor(inner_->FindKey(name));
}

IStorageKey* MTStorage::CreateKey(const char* name) {
  threads::MutexGuard guard(document_->mutex);
  IStorageKey* key = KeyFor(inner_->FindOrCreateKey(name));
  document_->changes->Count();
  return key;
}

IStorageSection* MTStorage::OpenSection(const char* path) {
  threads::MutexGuard guard(document_->mutex);
  return Wrap(inner_->OpenSection(path));
}

IStorageSection* MTStorage::CreateSection(const char* path) {
  threads::MutexGuard guard(document_->mutex);
  IStorageSection* section = Wrap(inner_->CreateSection(path));
  document_->changes->Count();
  return section;
}

bool MTStorage::DeleteSection(const char* path) {
  threads::MutexGuard guard(document_->mutex);
  const bool deleted = inner_->DeleteSection(path);
  document_->changes->Count();
  return deleted;
}

bool MTStorage::DeleteKey(const char* name) {
  threads::MutexGuard guard(document_->mutex);
  const bool deleted = inner_->DeleteKey(name);
  document_->changes->Count();
  return deleted;
}

INamesEnumerator* MTStorage::EnumKeys() {
  threads::MutexGuard guard(document_->mutex);
  return inner_->EnumKeys();
}

INamesEnumerator* MTStorage::EnumSections() {
  threads::MutexGuard guard(document_->mutex);
  return inner_->EnumSections();
}

ISectionWatch* MTStorage::Watch(bool subtree) { return new SectionWatch(this, document_->changes, subtree); }

MTStorageKey::MTStorageKey(XmlNode* element, std::shared_ptr<XmlDocument> document)
    : DocumentHolder{std::move(document)}, XmlStorageKey(element) {}

bool MTStorageKey::Read(void* buffer, unsigned size) {
  threads::MutexGuard guard(document->mutex);
  return XmlStorageKey::Read(buffer, size);
}

bool MTStorageKey::Write(Type type, const void* data, unsigned size) {
  threads::MutexGuard guard(document->mutex);
  const bool written = XmlStorageKey::Write(type, data, size);
  document->changes->Count();
  return written;
}

Type MTStorageKey::GetType() {
  threads::MutexGuard guard(document->mutex);
  return XmlStorageKey::GetType();
}

unsigned MTStorageKey::GetSize() {
  threads::MutexGuard guard(document->mutex);
  return XmlStorageKey::GetSize();
}

}  // namespace storage
