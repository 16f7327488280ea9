#include "xmlfile/MTStorage.h"

#include <utility>

#include "base/Mutex.h"

namespace storage {

MTStorage::MTStorage(IStorageSection* inner, std::shared_ptr<XmlDocument> document)
    : document_(std::move(document)), inner_(inner) {}

IStorageKey* MTStorage::Wrap(IStorageKey* key) const {
  Ref<IStorageKey> adopted(key);  // released should the wrapper not be made
  auto* wrapper = new MTStorageKey(adopted.get(), document_);
  (void)adopted.release();
  return wrapper;
}

IStorageSection* MTStorage::Wrap(IStorageSection* section) const {
  Ref<IStorageSection> adopted(section);
  auto* wrapper = new MTStorage(adopted.get(), document_);
  (void)adopted.release();
  return wrapper;
}

IStorageKey* MTStorage::OpenKey(const char* name) {
  threads::MutexGuard guard(document_->mutex);
  return Wrap(inner_->OpenKey(name));
}

IStorageKey* MTStorage::CreateKey(const char* name) {
  threads::MutexGuard guard(document_->mutex);
  return Wrap(inner_->CreateKey(name));
}

IStorageSection* MTStorage::OpenSection(const char* path) {
  threads::MutexGuard guard(document_->mutex);
  return Wrap(inner_->OpenSection(path));
}

IStorageSection* MTStorage::CreateSection(const char* path) {
  threads::MutexGuard guard(document_->mutex);
  return Wrap(inner_->CreateSection(path));
}

bool MTStorage::DeleteSection(const char* path) {
  threads::MutexGuard guard(document_->mutex);
  return inner_->DeleteSection(path);
}

bool MTStorage::DeleteKey(const char* name) {
  threads::MutexGuard guard(document_->mutex);
  return inner_->DeleteKey(name);
}

INamesEnumerator* MTStorage::EnumKeys() {
  threads::MutexGuard guard(document_->mutex);
  return inner_->EnumKeys();
}

INamesEnumerator* MTStorage::EnumSections() {
  threads::MutexGuard guard(document_->mutex);
  return inner_->EnumSections();
}

MTStorageKey::MTStorageKey(IStorageKey* inner, std::shared_ptr<XmlDocument> document)
    : document_(std::move(document)), inner_(inner) {}

bool MTStorageKey::Read(void* buffer, unsigned size) {
  threads::MutexGuard guard(document_->mutex);
  return inner_->Read(buffer, size);
}

bool MTStorageKey::Write(Type type, const void* data, unsigned size) {
  threads::MutexGuard guard(document_->mutex);
  return inner_->Write(type, data, size);
}

Type MTStorageKey::GetType() {
  threads::MutexGuard guard(document_->mutex);
  return inner_->GetType();
}

unsigned MTStorageKey::GetSize() {
  threads::MutexGuard guard(document_->mutex);
  return inner_->GetSize();
}

}  // namespace storage
