// The base of named kernel objects on POSIX: a file on tmpfs whose life
// follows the handles that processes hold on it.
//
// Every process with a handle keeps a shared open-file-description lock on the
// file's holder byte, so the kernel counts the holders and forgets a killed
// one at once. Creating, opening and closing run under an exclusive lock on the
// guard byte: whoever finds no other holder there initialises the file if it
// is new and empty, and otherwise removes it as stale (left by killed
// holders) and starts over, or, when only opening, reports none. The last
// holder to close removes the file. A process maps each object once and shares that among its
// handles; when its last handle closes, the process withdraws as a holder at
// once but keeps the view while one of its threads owns the mutex in it.
#ifndef SETTINGSTORE_PLATFORM_POSIX_SHAREDOBJECT_H
#define SETTINGSTORE_PLATFORM_POSIX_SHAREDOBJECT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace storage::platform::posix {

enum class ObjectKind : uint32_t { kMutex = 1, kEvent = 2, kMapping = 3 };

// The platform error number for the errno of a failed system call.
uint32_t ErrorFromErrno(int error);

// Removes the object files of the directory that no process holds any more.
void ReclaimStaleObjects(int directory);

// The thread that the kernel records as the owner of the robust mutex in the
// object's state; 0 once that thread has ended.
uint32_t KernelMutexOwner(const class SharedObject& object);

class ObjectTable;

class SharedObject {
 public:
  // Runs on a new object, under the guard, before any other handle can see it;
  // false fails the creation (the initialiser sets the last error).
  using Initialiser = std::function<bool(SharedObject&)>;

  // Creates (create true) or opens the object, for one more handle of this
  // process. Sets the last error: 0 new, 183 existed; 2 when opening finds
  // none; 6 when the name holds another kind. `payloadSize` is the size a
  // mapping asks for, 0 for the other kinds.
  static SharedObject* Acquire(const char* name, ObjectKind kind, size_t payloadSize, bool create,
                               const Initialiser& initialise);
  // One handle of this process is gone.
  void ReleaseHandle();

  // The kind's state in the object's first page (64-byte aligned).
  void* State() const;
  int Descriptor() const { return fd_; }
  // The bytes behind the first page, where a mapping's contents lie.
  size_t PayloadSize() const { return payloadSize_; }
  static size_t PayloadOffset();

  // A mutex in State() and the thread of this process that owns it, with its
  // recursion depth; only the owner changes `depth`. While that thread owns it
  // the view stays mapped: the kernel reaches the mutex through the thread's
  // robust list when the thread ends.
  std::atomic<uint32_t> localOwner{0};
  uint32_t depth = 0;

 private:
  friend class ObjectTable;
  SharedObject(ObjectTable* table, int directory, std::string fileName, std::string key, int fd, void* page,
               ObjectKind kind, size_t payloadSize);
  SharedObject(const SharedObject&) = delete;
  SharedObject& operator=(const SharedObject&) = delete;

  // True while a thread of this process owns the mutex in the view.
  bool OwnedByLiveThread() const;
  // Ends this process's part in the object's life: the last holder of all
  // removes the file. The view stays until Unmap.
  void Withdraw();
  void Unmap();

  ObjectTable* const table_;
  const int directory_;
  const std::string fileName_;
  const std::string key_;
  const int fd_;
  void* const page_;
  const ObjectKind kind_;
  const size_t payloadSize_;
  int handles_ = 0;
};

}  // namespace storage::platform::posix

#endif  // SETTINGSTORE_PLATFORM_POSIX_SHAREDOBJECT_H
