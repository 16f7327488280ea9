// settingstore public API.
//
// A host includes this header alone and links -lsettingstore. It obtains a
// NoThrowStorageFactory from InitializeStorage, takes the root section from it
// and works through the reference-counted interfaces below. Every object that
// an operation returns carries one reference for the caller (see storage/ref.h
// for a holder that releases it).
#ifndef SETTINGSTORE_STORAGE_H
#define SETTINGSTORE_STORAGE_H

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#if defined(_WIN32)
#if defined(SETTINGSTORE_BUILDING)
#define STORAGE_API __declspec(dllexport)
#else
#define STORAGE_API __declspec(dllimport)
#endif
#else
#define STORAGE_API __attribute__((visibility("default")))
#endif

namespace storage {

enum StorageType : int32_t { STORAGE_REGISTRY = 0, STORAGE_XML = 1, STORAGE_SHARED_DOM = 2 };

enum Type : int32_t {
  TYPE_UNKNOWN = 0,
  TYPE_BINARY = 1,
  TYPE_INTEGER = 2,
  TYPE_STRING = 3,
  TYPE_MULTI_STRING = 4
};

struct STORAGE_API IAddRef {
  virtual ~IAddRef();
  // Both return the new reference count.
  virtual long AddRef() = 0;
  virtual long Release() = 0;
};

struct STORAGE_API IStorageKey : virtual IAddRef {
  virtual bool Read(void* buffer, unsigned size) = 0;
  virtual bool Write(Type type, const void* data, unsigned size) = 0;
  virtual Type GetType() = 0;
  virtual unsigned GetSize() = 0;
};

struct STORAGE_API INamesEnumerator : virtual IAddRef {
  virtual void Reset() = 0;
  virtual bool Next() = 0;
  virtual const char* Current() = 0;
};

struct STORAGE_API IStorageSection : virtual IAddRef {
  virtual IStorageKey* OpenKey(const char* name) = 0;
  virtual IStorageKey* CreateKey(const char* name) = 0;
  virtual IStorageSection* OpenSection(const char* path) = 0;
  virtual IStorageSection* CreateSection(const char* path) = 0;
  virtual bool DeleteSection(const char* path) = 0;
  virtual bool DeleteKey(const char* name) = 0;
  virtual INamesEnumerator* EnumKeys() = 0;
  virtual INamesEnumerator* EnumSections() = 0;
};

struct STORAGE_API IStorageController : virtual IAddRef {
  virtual IStorageSection* GetRoot() = 0;
  virtual void LoadSuccessful() = 0;
  virtual void Save() = 0;
};

struct STORAGE_API ITraits {
  virtual const char* GetName() = 0;
  virtual bool IsThreadSafe() = 0;
  virtual bool IsInterprocess() = 0;
  // Deletes the traits object.
  virtual void Destroy() = 0;
  virtual StorageType GetType() = 0;

 protected:
  virtual ~ITraits() = default;
};

typedef bool (*StorageCheckFunction)(IStorageSection* root, StorageType type);

// Implemented by the host; the library uses it only during InitializeStorage.
struct STORAGE_API IStorageInitializer {
  virtual ~IStorageInitializer();
  virtual const char* GetPath() = 0;
  virtual const char* GetDefaultPath() = 0;
  virtual void OnLoadBegin() = 0;
  virtual void OnLoadSucceeded() = 0;
  virtual void OnLoadFailed() = 0;
  virtual bool RetryLoad() = 0;
  virtual StorageCheckFunction GetCheckFunction() = 0;
};

// ---------------------------------------------------------------------------
// Errors. Ordinary storage errors carry one negative code:
//   -1 deleted section, -2 not found, -3 bad value, -4 type mismatch,
//   -5 missing name, -6 operation failed, -7 buffer too small, -10 no value,
//   -11 bad type, -13 damaged shared structure, -14 out of shared memory.

class STORAGE_API Exception {
 public:
  explicit Exception(int32_t code);
  virtual ~Exception();
  int32_t GetErrorCode() const;
  const char* GetErrorString() const;

 private:
  int32_t code_;
};

class STORAGE_API OpenException : public Exception {
 public:
  explicit OpenException(int32_t code);
};
class STORAGE_API CreateException : public Exception {
 public:
  explicit CreateException(int32_t code);
};
class STORAGE_API DeleteException : public Exception {
 public:
  explicit DeleteException(int32_t code);
};
class STORAGE_API NotEmptyException : public DeleteException {
 public:
  explicit NotEmptyException(int32_t code);
};
class STORAGE_API IOException : public Exception {
 public:
  explicit IOException(int32_t code);
};
class STORAGE_API MarkToDeleteException : public IOException {
 public:
  explicit MarkToDeleteException(int32_t code);
};

// Technical faults: the storage itself cannot be used as asked.
class STORAGE_API TechnicalException {
 public:
  explicit TechnicalException(std::string message);
  virtual ~TechnicalException();
  const char* what() const;

 private:
  std::string message_;
};

class STORAGE_API CheckStorageException : public TechnicalException {
 public:
  CheckStorageException();
};
class STORAGE_API ChecksumException : public TechnicalException {
 public:
  ChecksumException();
};
class STORAGE_API LoadHiveException : public TechnicalException {
 public:
  LoadHiveException();
};
class STORAGE_API LoadStorageFailedException : public TechnicalException {
 public:
  LoadStorageFailedException();
};
class STORAGE_API StorageAccessDeniedException : public TechnicalException {
 public:
  StorageAccessDeniedException();
};
class STORAGE_API BadAllocException : public TechnicalException {
 public:
  explicit BadAllocException(const std::string& message);
};
class STORAGE_API ExternalException : public TechnicalException {
 public:
  explicit ExternalException(int code);
  int GetCode() const;

 private:
  int code_;
};
class STORAGE_API InternalStructureException : public TechnicalException {
 public:
  InternalStructureException(const char* file, const char* function, int line, const char* message);
};

// A broken invariant inside the library.
class STORAGE_API AssertException {
 public:
  AssertException(const char* file, const char* function, int line, const char* message);
  virtual ~AssertException();
  std::string What() const;
  const std::string& File() const { return file_; }
  const std::string& Function() const { return function_; }
  int Line() const { return line_; }
  const std::string& Message() const { return message_; }
  bool HasMessage() const { return has_message_; }

 private:
  std::string file_;
  std::string function_;
  int line_;
  std::string message_;
  bool has_message_;
};

// ---------------------------------------------------------------------------
// The factory a host receives. It owns the controller and the traits.

class NoThrowErrorRecord;  // shared by the factory and its no-throw wrappers

class STORAGE_API NoThrowStorageFactory {
 public:
  NoThrowStorageFactory(StorageType type, IStorageController* controller, ITraits* traits);

  // The controller's root, one reference for the caller.
  virtual IStorageSection* GetRoot();
  virtual ITraits* GetTraits();
  virtual void LoadSuccessful();
  // Saves, releases the controller, destroys the traits and deletes the factory.
  virtual void Dispose();
  // A root whose operations (and those of everything reached from it) never
  // throw: a failure returns null or false and is recorded here.
  virtual IStorageSection* GetNoThrowRoot();
  virtual ~NoThrowStorageFactory();
  virtual const char* GetLastMessageDescriptor();
  virtual void SetLastMessageDescriptor(const char* message);
  virtual int32_t GetLastErrorCode();
  virtual void SetLastErrorCode(int32_t code);
  virtual void Save();

  NoThrowStorageFactory(const NoThrowStorageFactory&) = delete;
  NoThrowStorageFactory& operator=(const NoThrowStorageFactory&) = delete;

 private:
  [[maybe_unused]] StorageType type_;  // kept for the layout hosts were built against
  IStorageController* controller_;
  ITraits* traits_;
  std::shared_ptr<NoThrowErrorRecord> errors_;
};

// Diagnostics. By default errors go to standard error and nothing else is
// written; a host may route every message to its own sink and raise the level.
namespace logger {
enum Level : int32_t { LEVEL_ERROR = 0, LEVEL_INFO = 1, LEVEL_DEBUG = 2 };
typedef void (*Sink)(Level level, const char* message);
// A null sink restores the default.
STORAGE_API void SetSink(Sink sink);
// Messages above this level are dropped.
STORAGE_API void SetLevel(Level level);
}  // namespace logger

STORAGE_API IStorageSection* GetRegStorage(const char* path);
// The registry store's database file, for storages of type 0 opened from now
// on; null returns to the default location ($SETTINGSTORE_REGISTRY_DB, else
// $XDG_DATA_HOME/settingstore/registry.db, else ~/.local/share/...).
STORAGE_API void SetRegistryDatabase(const char* path);
STORAGE_API unsigned long GetRegType(Type type);
STORAGE_API Type GetRegType(unsigned long registryType);
STORAGE_API IStorageSection* GetXmlStorage(const char* text, unsigned length);
STORAGE_API IStorageSection* GetXmlStorage(const char* path);

}  // namespace storage

// Raised by storage::GetXmlStorage when the text is empty, not well-formed or
// nested too deeply; what() tells where and why.
class STORAGE_API CVelXmlParseException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~CVelXmlParseException() override;
};

extern "C" {
STORAGE_API storage::NoThrowStorageFactory* InitializeStorage(storage::StorageType type,
                                                              storage::IStorageInitializer* init);
// Ends the process's use of a storage of this type. For the shared DOM (2)
// the last process to leave writes the .dm2 files, when anything changed
// since they were loaded or saved: false when that save failed (the files
// keep their previous save and the changes are lost; the log names the
// files). True otherwise, and for the registry and XML types; false for an
// unknown type.
STORAGE_API bool DeinitializeStorage(storage::StorageType type);
STORAGE_API const char* GetStotageVersion();
}

#include "storage/ref.h"

#endif  // SETTINGSTORE_STORAGE_H
