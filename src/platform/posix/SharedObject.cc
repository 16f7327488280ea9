// Named object files, their holder count and this process's table of them.
#include "platform/posix/SharedObject.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/Messages.h"
#include "platform/Platform.h"
#include "platform/posix/ObjectDirectory.h"

namespace storage::platform::posix {

namespace {

// Byte ranges of the open-file-description locks (they need not lie within
// the file).
constexpr off_t kGuardByte = 0;
constexpr off_t kHolderByte = 1;

// Written last when an object is initialised: a zero-filled page is not an
// object (a zeroed mutex, for one, is a valid but not a robust one).
constexpr uint32_t kMagic = 0x4a424f53;
constexpr size_t kStateOffset = 64;

struct ObjectHeader {
  uint32_t magic;
  uint32_t kind;
  uint64_t payloadSize;
};
static_assert(sizeof(ObjectHeader) <= kStateOffset);

size_t PageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Takes (F_RDLCK, F_WRLCK) or drops (F_UNLCK) this descriptor's lock on
// `count` bytes. Returns 0 or the errno; EAGAIN when another holder is in the
// way of a lock that does not wait.
int LockBytes(int fd, short type, off_t first, off_t count, bool wait) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = first;
  lock.l_len = count;
  while (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) != 0) {
    if (errno != EINTR) return errno == EACCES ? EAGAIN : errno;
  }
  return 0;
}

int LockByte(int fd, short type, off_t byte, bool wait) { return LockBytes(fd, type, byte, 1, wait); }

// Owns a descriptor. Closing it drops every lock taken through it in one step.
class ObjectFile {
 public:
  explicit ObjectFile(int fd) : fd_(fd) {}
  ~ObjectFile() {
    if (fd_ >= 0) close(fd_);
  }
  ObjectFile(const ObjectFile&) = delete;
  ObjectFile& operator=(const ObjectFile&) = delete;

  int Descriptor() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Whether the object file is the caller's own plain file. Another user's
// could be held locked for ever, or be swapped under us: refused, as Windows
// refuses an object whose default security lets in only its creator.
bool OwnedByCaller(const ObjectLocation& location, int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  if (S_ISREG(info.st_mode) && info.st_uid == geteuid()) return true;
  Log(LogLevel::kError, messages::platform::kSharedObjectForeignOwner,
      location.directoryPath.c_str(), location.fileName.c_str(), static_cast<unsigned>(info.st_uid));
  SetLastError(kErrorAccessDenied);
  return false;
}

// Maps the first page of an object file.
ObjectHeader* MapFirstPage(int fd) {
  void* page = mmap(nullptr, PageSize(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return page == MAP_FAILED ? nullptr : static_cast<ObjectHeader*>(page);
}

}  // namespace

uint32_t ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:  // a link planted where an object file belongs
      return kErrorAccessDenied;
    case ENOMEM:
    case ENOSPC:
    case EFBIG:
    case EMFILE:
    case ENFILE:
    case ENOLCK:
      return kErrorNotEnoughMemory;
    case ENAMETOOLONG:
    case EINVAL:
      return kErrorInvalidParameter;
    default:
      return kErrorGenFailure;
  }
}

void ReclaimStaleObjects(int directory) {
  // A duplicate shares the directory's read position; start from the top.
  DIR* listing = fdopendir(fcntl(directory, F_DUPFD_CLOEXEC, 0));
  if (listing == nullptr) return;
  rewinddir(listing);
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;  // "." and ".."; escaped names never start so
    ObjectFile file(openat(directory, entry->d_name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info;
    // Busy guards are skipped: whoever holds one is using the object. Other
    // users' objects are theirs to clear.
    if (file.Descriptor() >= 0 && fstat(file.Descriptor(), &info) == 0 && info.st_uid == geteuid() &&
        LockByte(file.Descriptor(), F_WRLCK, kGuardByte, false) == 0 &&
        fstat(file.Descriptor(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink > 0 &&
        LockByte(file.Descriptor(), F_WRLCK, kHolderByte, false) == 0) {
      unlinkat(directory, entry->d_name, 0);
    }
  }
  closedir(listing);
}

// This process's objects by name, so that each is opened and mapped once. A
// forked child starts a table of its own: the parent's descriptors, and the
// locks on them, stay the parent's.
class ObjectTable {
 public:
  static ObjectTable& Current() {
    static std::atomic<ObjectTable*> current{nullptr};
    pid_t pid = getpid();
    ObjectTable* table = current.load(std::memory_order_acquire);
    while (table == nullptr || table->pid_ != pid) {
      // The replaced table of the parent stays allocated: inherited handles
      // still point at it.
      auto* fresh = new ObjectTable(pid);
      if (current.compare_exchange_strong(table, fresh, std::memory_order_acq_rel)) return *fresh;
      delete fresh;
    }
    return *table;
  }

  SharedObject* Acquire(const char* name, ObjectKind kind, size_t payloadSize, bool create,
                        const SharedObject::Initialiser& initialise) {
    ObjectLocation location;
    if (!LocateObject(name, &location)) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    UnmapReleased();
    auto [slot, added] = objects_.try_emplace(location.key, nullptr);
    if (added) {
      slot->second = OpenFile(location, kind, payloadSize, create, initialise);
      if (slot->second == nullptr) {
        objects_.erase(slot);
        return nullptr;
      }
    } else if (slot->second->kind_ != kind) {
      SetLastError(kErrorInvalidHandle);
      return nullptr;
    } else if (payloadSize > slot->second->payloadSize_) {
      SetLastError(kErrorNotEnoughMemory);
      return nullptr;
    } else {
      SetLastError(create ? kErrorAlreadyExists : kErrorSuccess);
    }
    ++slot->second->handles_;
    return slot->second;
  }

  void ReleaseHandle(SharedObject* object) {
    if (!OwnProcess()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (--object->handles_ == 0) {
      objects_.erase(object->key_);
      object->Withdraw();
      released_.push_back(object);
    }
    UnmapReleased();
  }

 private:
  explicit ObjectTable(pid_t pid) : pid_(pid) {}

  // Handles inherited through fork are left alone: closing them would act on
  // the parent's locks.
  bool OwnProcess() const { return pid_ == getpid(); }

  // Unmaps the views of released objects that no thread owns any more. Done
  // at every acquisition and release, so that the views of ended threads do
  // not pile up.
  void UnmapReleased() {
    std::erase_if(released_, [](SharedObject* object) {
      if (object->OwnedByLiveThread()) return false;
      object->Unmap();
      delete object;
      return true;
    });
  }

  SharedObject* OpenFile(const ObjectLocation& location, ObjectKind kind, size_t payloadSize, bool create,
                         const SharedObject::Initialiser& initialise) {
    if (payloadSize > static_cast<size_t>(std::numeric_limits<off_t>::max()) - PageSize()) {
      SetLastError(kErrorNotEnoughMemory);
      return nullptr;
    }
    for (;;) {
      int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0);
      ObjectFile file(openat(location.directory, location.fileName.c_str(), flags, 0600));
      if (file.Descriptor() >= 0 && !OwnedByCaller(location, file.Descriptor())) return nullptr;
      struct stat info;
      // The guard of an object of ours: nobody else can open it to hold it.
      int error = file.Descriptor() < 0 ? errno : LockByte(file.Descriptor(), F_WRLCK, kGuardByte, true);
      if (error == 0 && fstat(file.Descriptor(), &info) != 0) error = errno;
      if (error != 0) {
        if (error == EACCES || error == ELOOP) {
          Log(LogLevel::kError, messages::platform::kSharedObjectDenied, location.directoryPath.c_str(),
              location.fileName.c_str());
        }
        SetLastError(ErrorFromErrno(error));
        return nullptr;
      }
      // Removed by its last holder while we waited for the guard: the name
      // may already stand for a new file.
      if (info.st_nlink == 0) continue;
      if (!S_ISREG(info.st_mode)) {
        SetLastError(kErrorAccessDenied);
        return nullptr;
      }
      error = LockByte(file.Descriptor(), F_WRLCK, kHolderByte, false);
      if (error != 0 && error != EAGAIN) {
        SetLastError(ErrorFromErrno(error));
        return nullptr;
      }
      bool alone = error == 0;
      if (alone && (!create || info.st_size != 0)) {
        // Left by killed holders: removed, never used again, since a process
        // may still map it for a thread that owns the mutex in it.
        if (unlinkat(location.directory, location.fileName.c_str(), 0) != 0) {
          SetLastError(ErrorFromErrno(errno));
          return nullptr;
        }
        if (!create) {
          SetLastError(kErrorFileNotFound);
          return nullptr;
        }
        continue;
      }
      SharedObject* object = alone ? Initialise(location, file.Descriptor(), kind, payloadSize, initialise)
                                   : Attach(location, file.Descriptor(), info, kind, payloadSize);
      if (object == nullptr) return nullptr;
      // Become one holder among others (a downgrade never waits), then let
      // the next one in.
      LockByte(file.Descriptor(), F_RDLCK, kHolderByte, false);
      LockByte(file.Descriptor(), F_UNLCK, kGuardByte, false);
      file.Release();
      SetLastError(create && !alone ? kErrorAlreadyExists : kErrorSuccess);
      return object;
    }
  }

  // A new, empty file: sized with its pages reserved now, so that a full
  // tmpfs fails here and not with SIGBUS at first touch.
  SharedObject* Initialise(const ObjectLocation& location, int fd, ObjectKind kind, size_t payloadSize,
                           const SharedObject::Initialiser& initialise) {
    int error = posix_fallocate(fd, 0, static_cast<off_t>(PageSize() + payloadSize));
    ObjectHeader* header = error == 0 ? MapFirstPage(fd) : nullptr;
    if (header == nullptr) {
      unlinkat(location.directory, location.fileName.c_str(), 0);
      SetLastError(ErrorFromErrno(error != 0 ? error : errno));
      return nullptr;
    }
    std::atomic_ref<uint32_t>(header->kind).store(static_cast<uint32_t>(kind), std::memory_order_relaxed);
    std::atomic_ref<uint64_t>(header->payloadSize).store(payloadSize, std::memory_order_relaxed);
    auto* object = new SharedObject(this, location.directory, location.fileName, location.key, fd, header,
                                    kind, payloadSize);
    if (!initialise(*object)) {
      delete object;
      munmap(header, PageSize());
      unlinkat(location.directory, location.fileName.c_str(), 0);
      return nullptr;
    }
    std::atomic_ref<uint32_t>(header->magic).store(kMagic, std::memory_order_release);
    return object;
  }

  // An object that other processes hold: it must be one of the same kind and
  // at least as large as asked for.
  SharedObject* Attach(const ObjectLocation& location, int fd, const struct stat& info, ObjectKind kind,
                       size_t payloadSize) {
    ObjectHeader* header = static_cast<size_t>(info.st_size) >= PageSize() ? MapFirstPage(fd) : nullptr;
    if (header == nullptr) {
      SetLastError(kErrorInvalidHandle);
      return nullptr;
    }
    uint64_t existingSize = std::atomic_ref<uint64_t>(header->payloadSize).load(std::memory_order_relaxed);
    uint32_t error = kErrorSuccess;
    if (std::atomic_ref<uint32_t>(header->magic).load(std::memory_order_acquire) != kMagic ||
        std::atomic_ref<uint32_t>(header->kind).load(std::memory_order_relaxed) !=
            static_cast<uint32_t>(kind) ||
        static_cast<uint64_t>(info.st_size) != PageSize() + existingSize) {
      error = kErrorInvalidHandle;
    } else if (payloadSize > existingSize) {
      error = kErrorNotEnoughMemory;
    } else if (int lockError = LockByte(fd, F_RDLCK, kHolderByte, false); lockError != 0) {
      error = ErrorFromErrno(lockError);
    }
    if (error != kErrorSuccess) {
      munmap(header, PageSize());
      SetLastError(error);
      return nullptr;
    }
    return new SharedObject(this, location.directory, location.fileName, location.key, fd, header, kind,
                            static_cast<size_t>(existingSize));
  }

  std::mutex mutex_;
  std::unordered_map<std::string, SharedObject*> objects_;  // by key, while this process holds them
  std::vector<SharedObject*> released_;                     // no handle left, view not yet unmapped
  const pid_t pid_;
};

SharedObject::SharedObject(ObjectTable* table, int directory, std::string fileName, std::string key, int fd,
                           void* page, ObjectKind kind, size_t payloadSize)
    : table_(table),
      directory_(directory),
      fileName_(std::move(fileName)),
      key_(std::move(key)),
      fd_(fd),
      page_(page),
      kind_(kind),
      payloadSize_(payloadSize) {}

SharedObject* SharedObject::Acquire(const char* name, ObjectKind kind, size_t payloadSize, bool create,
                                    const Initialiser& initialise) {
  return ObjectTable::Current().Acquire(name, kind, payloadSize, create, initialise);
}

void SharedObject::ReleaseHandle() { table_->ReleaseHandle(this); }

void* SharedObject::State() const { return static_cast<char*>(page_) + kStateOffset; }

size_t SharedObject::PayloadOffset() { return PageSize(); }

bool SharedObject::OwnedByLiveThread() const {
  // An owner that ended without releasing is cleared from the mutex by the
  // kernel once it is done with the thread's robust list.
  uint32_t owner = localOwner.load(std::memory_order_relaxed);
  return owner != 0 && KernelMutexOwner(*this) == owner;
}

void SharedObject::Withdraw() {
  if (LockByte(fd_, F_WRLCK, kGuardByte, true) != 0) return;
  if (LockByte(fd_, F_WRLCK, kHolderByte, false) == 0) unlinkat(directory_, fileName_.c_str(), 0);
  // Guard and holder byte go in one step, so that nobody taking the guard
  // next can count us as a holder still.
  static_assert(kHolderByte == kGuardByte + 1);
  LockBytes(fd_, F_UNLCK, kGuardByte, 2, false);
}

void SharedObject::Unmap() {
  munmap(page_, PageSize());
  close(fd_);
}

}  // namespace storage::platform::posix
