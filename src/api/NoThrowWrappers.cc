#include "api/NoThrowWrappers.h"

#include <utility>

#include "base/Exceptions.h"
#include "base/Logger.h"
#include "base/RefCounted.h"
#include "base/SectionWatch.h"
#include "base/ThreadLocal.h"

namespace storage {

void NoThrowErrorRecord::Set(int32_t code, const char* message) {
  std::lock_guard<std::mutex> guard(mutex_);
  code_ = code;
  message_ = message ? message : "";
}

void NoThrowErrorRecord::SetCode(int32_t code) {
  std::lock_guard<std::mutex> guard(mutex_);
  code_ = code;
}

void NoThrowErrorRecord::SetMessage(const char* message) {
  std::lock_guard<std::mutex> guard(mutex_);
  message_ = message ? message : "";
}

int32_t NoThrowErrorRecord::Code() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return code_;
}

const char* NoThrowErrorRecord::Message() const {
  std::string& copy = utils::ThreadLocal<std::string, struct ErrorMessageCopy>();
  std::lock_guard<std::mutex> guard(mutex_);
  copy = message_;
  return copy.c_str();
}

void NoThrowErrorRecord::RecordCurrentException() noexcept {
  try {
    const Failure failure = CurrentFailure();
    Set(failure.code, failure.message.c_str());
  } catch (...) {
    // Recording itself ran out of memory: keep at least the code.
    std::lock_guard<std::mutex> guard(mutex_);
    code_ = kErrorFailed;
  }
}

namespace {

using Record = std::shared_ptr<NoThrowErrorRecord>;

class NoThrowKey : public StorageKeyBase {
 public:
  NoThrowKey(IStorageKey* adopted, Record record) : key_(adopted), record_(std::move(record)) {}

  bool Read(void* buffer, unsigned size) override {
    return record_->Guard(false, [&] { return key_->Read(buffer, size); });
  }
  bool Write(Type type, const void* data, unsigned size) override {
    return record_->Guard(false, [&] { return key_->Write(type, data, size); });
  }
  Type GetType() override {
    return record_->Guard(TYPE_UNKNOWN, [&] { return key_->GetType(); });
  }
  unsigned GetSize() override {
    return record_->Guard(0u, [&] { return key_->GetSize(); });
  }

 private:
  Ref<IStorageKey> key_;
  Record record_;
};

class NoThrowSection : public StorageSectionBase, public WatchableSection {
 public:
  NoThrowSection(IStorageSection* adopted, Record record) : section_(adopted), record_(std::move(record)) {}

  IStorageKey* OpenKey(const char* name) override {
    return WrapKey([&] { return section_->OpenKey(name); });
  }
  IStorageKey* CreateKey(const char* name) override {
    return WrapKey([&] { return section_->CreateKey(name); });
  }
  IStorageSection* OpenSection(const char* path) override {
    return WrapSection([&] { return section_->OpenSection(path); });
  }
  IStorageSection* CreateSection(const char* path) override {
    return WrapSection([&] { return section_->CreateSection(path); });
  }
  bool DeleteSection(const char* path) override {
    return record_->Guard(false, [&] { return section_->DeleteSection(path); });
  }
  bool DeleteKey(const char* name) override {
    return record_->Guard(false, [&] { return section_->DeleteKey(name); });
  }
  INamesEnumerator* EnumKeys() override {
    return record_->Guard<INamesEnumerator*>(nullptr, [&] { return section_->EnumKeys(); });
  }
  INamesEnumerator* EnumSections() override {
    return record_->Guard<INamesEnumerator*>(nullptr, [&] { return section_->EnumSections(); });
  }
  // The watch looks at the inner section, whose failures tell it the most.
  ISectionWatch* Watch(bool subtree) override {
    return record_->Guard<ISectionWatch*>(nullptr, [&] { return WatchSection(section_.get(), subtree); });
  }

 private:
  template <class Operation>
  IStorageKey* WrapKey(Operation&& operation) {
    return record_->Guard<IStorageKey*>(nullptr, [&]() -> IStorageKey* {
      Ref<IStorageKey> key(operation());
      if (!key) return nullptr;
      return new NoThrowKey(key.release(), record_);
    });
  }
  template <class Operation>
  IStorageSection* WrapSection(Operation&& operation) {
    return record_->Guard<IStorageSection*>(nullptr, [&]() -> IStorageSection* {
      Ref<IStorageSection> section(operation());
      if (!section) return nullptr;
      return new NoThrowSection(section.release(), record_);
    });
  }

  Ref<IStorageSection> section_;
  Record record_;
};

}  // namespace

IStorageSection* MakeNoThrowSection(IStorageSection* adopted, Record record) {
  Ref<IStorageSection> section(adopted);
  return new NoThrowSection(section.release(), std::move(record));
}

}  // namespace storage
