// What the shared DOM tests and their helper process share: a host's
// initializer, a storage of type 2 that is always taken down again, and
// small readers that turn outcomes into text for readable failures.
#ifndef SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMTESTSUPPORT_H
#define SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMTESTSUPPORT_H

#include <cstdint>
#include <deque>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "storage/storage.h"

namespace settingstore::test {

using storage::INamesEnumerator;
using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;

// The host's side of InitializeStorage: a storage path, a record of the load
// notifications in the order they came, and scripted retry answers.
class HostInitializer : public storage::IStorageInitializer {
 public:
  explicit HostInitializer(std::string path) : path_(std::move(path)) {}

  const char* GetPath() override { return path_.c_str(); }
  const char* GetDefaultPath() override { return nullptr; }
  void OnLoadBegin() override { calls.push_back("Begin"); }
  void OnLoadSucceeded() override { calls.push_back("Succeeded"); }
  void OnLoadFailed() override { calls.push_back("Failed"); }
  bool RetryLoad() override {
    calls.push_back("Retry");
    if (retry_answers.empty()) return false;
    const bool answer = retry_answers.front();
    retry_answers.pop_front();
    return answer;
  }
  storage::StorageCheckFunction GetCheckFunction() override { return check; }

  std::vector<std::string> calls;
  std::deque<bool> retry_answers;  // RetryLoad answers false once these run out
  storage::StorageCheckFunction check = nullptr;

 private:
  std::string path_;
};

// A shared DOM up in this process for the life of the object. The factory is
// disposed and the DOM taken down at the end, as a host must; any Ref taken
// from it must be released first (declare it after the session).
class SharedDomSession {
 public:
  explicit SharedDomSession(storage::IStorageInitializer& init)
      : factory_(InitializeStorage(storage::STORAGE_SHARED_DOM, &init)) {}
  ~SharedDomSession() {
    if (factory_ != nullptr) factory_->Dispose();
    DeinitializeStorage(storage::STORAGE_SHARED_DOM);
  }
  SharedDomSession(const SharedDomSession&) = delete;
  SharedDomSession& operator=(const SharedDomSession&) = delete;

  storage::NoThrowStorageFactory& factory() { return *factory_; }
  Ref<IStorageSection> Root() { return Ref<IStorageSection>(factory_->GetRoot()); }

 private:
  storage::NoThrowStorageFactory* factory_;
};

// Every name an enumerator gives, in its order; takes over its reference.
inline std::vector<std::string> Names(INamesEnumerator* adopted) {
  Ref<INamesEnumerator> names(adopted);
  std::vector<std::string> result;
  while (names->Next()) result.emplace_back(names->Current());
  return result;
}

// Hands back what a call returned: a reference, or a factory with its storage.
inline void Drop(storage::IAddRef* object) { object->Release(); }
inline void Drop(storage::NoThrowStorageFactory* factory) {
  factory->Dispose();
  DeinitializeStorage(storage::STORAGE_SHARED_DOM);
}

// How a call ended, as text: "OpenException -2", "returned true", ...
// An object that the call returns is dropped at once.
template <class Call>
std::string Outcome(Call&& call) {
  using Result = decltype(call());
  try {
    if constexpr (std::is_pointer_v<Result>) {
      Result object = call();
      if (object == nullptr) return "returned null";
      Drop(object);
      return "returned an object";
    } else if constexpr (std::is_same_v<Result, bool>) {
      return call() ? "returned true" : "returned false";
    } else {
      call();
      return "returned";
    }
  } catch (const storage::NotEmptyException& e) {
    return "NotEmptyException " + std::to_string(e.GetErrorCode());
  } catch (const storage::MarkToDeleteException& e) {
    return "MarkToDeleteException " + std::to_string(e.GetErrorCode());
  } catch (const storage::OpenException& e) {
    return "OpenException " + std::to_string(e.GetErrorCode());
  } catch (const storage::CreateException& e) {
    return "CreateException " + std::to_string(e.GetErrorCode());
  } catch (const storage::DeleteException& e) {
    return "DeleteException " + std::to_string(e.GetErrorCode());
  } catch (const storage::IOException& e) {
    return "IOException " + std::to_string(e.GetErrorCode());
  } catch (const storage::Exception& e) {
    return "Exception " + std::to_string(e.GetErrorCode());
  } catch (const storage::StorageAccessDeniedException&) {
    return "StorageAccessDeniedException";
  } catch (const storage::LoadStorageFailedException&) {
    return "LoadStorageFailedException";
  } catch (const storage::TechnicalException& e) {
    return std::string("TechnicalException: ") + e.what();
  } catch (const storage::AssertException& e) {
    return "AssertException: " + e.What();
  }
}

// The bytes a key holds: exactly GetSize() of them, read into a buffer with
// one guard byte that must stay untouched; a text in <> tells what went wrong.
inline std::string ReadBytes(IStorageKey& key) {
  const unsigned size = key.GetSize();
  std::string buffer(size + 1, '\x5A');
  if (!key.Read(buffer.data(), size)) return "<Read returned false>";
  if (buffer[size] != '\x5A') return "<Read wrote beyond its size>";
  buffer.resize(size);
  return buffer;
}

inline uint32_t ReadInteger(IStorageKey& key) {
  uint32_t value = 0;
  key.Read(&value, sizeof value);
  return value;
}

inline void WriteInteger(IStorageKey& key, uint32_t value) {
  key.Write(storage::TYPE_INTEGER, &value, sizeof value);
}

inline void WriteString(IStorageKey& key, const std::string& text) {
  key.Write(storage::TYPE_STRING, text.c_str(), static_cast<unsigned>(text.size() + 1));
}

inline void WriteBytes(IStorageKey& key, storage::Type type, const std::string& bytes) {
  key.Write(type, bytes.data(), static_cast<unsigned>(bytes.size()));
}

// The key section/name once it holds a value of the given type, else empty:
// for polling what another process writes.
inline Ref<IStorageKey> FindValue(IStorageSection& root, const char* section, const char* name,
                                  storage::Type type) {
  try {
    Ref<IStorageKey> key(Ref<IStorageSection>(root.OpenSection(section))->OpenKey(name));
    if (key->GetType() == type) return key;
  } catch (const storage::Exception&) {
    // not written yet
  }
  return Ref<IStorageKey>();
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMTESTSUPPORT_H
