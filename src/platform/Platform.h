// The operating-system layer. Everything above src/platform/ reaches the OS
// only through these declarations; src/platform/posix/ implements them for
// Linux, src/platform/win32/ will map them onto the Win32 calls one to one.
//
// The algorithms above this layer were written against Win32 semantics, so the
// layer speaks them: a per-thread last-error with the Windows numbers, named
// kernel objects that live while any process holds a handle, and wait results
// that tell an abandoned mutex apart.
#ifndef SETTINGSTORE_PLATFORM_PLATFORM_H
#define SETTINGSTORE_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace storage::platform {

// ---- Last error -----------------------------------------------------------
// Set by every call of this layer that can fail, with these numbers.
enum ErrorNumber : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,  // no object of that name
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,  // the name belongs to an object of another kind
  kErrorNotEnoughMemory = 8,
  kErrorGenFailure = 31,        // the system failed in another way
  kErrorSharingViolation = 32,  // the object is being created or torn down: retry
  kErrorInvalidParameter = 87,  // unusable name or size
  kErrorAlreadyExists = 183,    // created: the object existed before
  kErrorNotOwner = 288,         // releasing a mutex the thread does not own
};
uint32_t GetLastError();
void SetLastError(uint32_t error);

// ---- Threads and processes ------------------------------------------------
// System-wide ids, never 0 and never 0xCCCCCCCC.
uint32_t CurrentThreadId();
uint32_t CurrentProcessId();

// The process that owns the thread with this id, or nullopt when no such
// thread exists (ended threads included). Throws std::runtime_error
// ("Unable to get snapshot!") when the system cannot be asked.
std::optional<uint32_t> ThreadOwnerProcess(uint32_t threadId);

// A process-wide thread-local slot. Alloc returns the slot index or -1. An
// empty value (null) is told apart from a failed read by GetLastError().
// The optional cleanup runs when a thread ends with a non-null value.
int TlsAlloc(void (*cleanup)(void*) = nullptr);
void* TlsGetValue(int slot);
bool TlsSetValue(int slot, void* value);

void YieldThread();
void SleepMs(uint32_t milliseconds);
uint64_t TickCountMs();  // monotonic
uint32_t ProcessorCount();

// Lowers the scheduling priority of a thread of this process: level 0 is
// normal, each level above is lower. False when the system refuses.
bool SetThreadPriority(uint32_t threadId, int level);

// A line for whoever debugs the process (the logger's debug level).
void DebugOutput(const char* text);

// ---- Diagnostics ------------------------------------------------------------
// This layer sits below the library's logger, so it reports through a
// callback that the logger installs when the library loads. Until then, and
// without one, its lines are dropped.
enum class LogLevel { kError, kDebug };
using LogCallback = void (*)(LogLevel level, const char* text);
void SetLogCallback(LogCallback callback);
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// ---- Files ------------------------------------------------------------------
// Every file this layer writes is created with O_CREAT | O_EXCL | O_NOFOLLOW,
// so that a name another user planted (a link above all) is never written
// through, and is written through the descriptor that created it. Its
// permission bits are those that both the mode reference (the storage's main
// file) and the file it replaces grant, whichever of them exists; with
// neither, the umask's default. A link, or a file that a user other than the
// caller and root owns, does not count as either.
//
// A file owned by a user other than the caller and root is foreign: it is
// not replaced, renamed, removed or read through these calls (last error 5).
bool PathExists(const char* path);
bool IsDirectory(const char* path);
// Creates one directory (its parent must exist). False when it cannot.
bool MakeDirectory(const char* path);
// Removes a file, but no foreign one.
bool RemoveFile(const char* path);
// Creates a new file with these bytes, flushed, only if nothing of that name
// exists yet (last error 183 when something does). False, and no file, when
// it cannot be written completely.
bool WriteNewFile(const char* path, const void* data, size_t size, const char* modeReference = nullptr);
// Reads a whole file that is neither a link nor foreign. False with last error
// 2 when it is missing, 5 when it is refused or cannot be read, and the
// reason in words when asked for.
bool ReadStorageFile(const char* path, std::string* content, std::string* reason = nullptr);
// The process's current directory, for making paths absolute.
std::string CurrentDirectory();
// Replaces the file with these bytes so that a crash at any moment leaves
// either the old or the new content: a temporary file in the same directory,
// flushed to disk, then renamed over the old one. False when it cannot.
bool ReplaceFileAtomically(const char* path, const void* data, size_t size,
                           const char* modeReference = nullptr);
// The two halves of ReplaceFileAtomically, for a caller that must have several
// files written before any of them replaces its target. The temporary is
// "<path>.tmp.<pid>.<n>", flushed to disk; empty when it cannot be written.
std::string WriteTemporaryFile(const char* path, const void* data, size_t size,
                               const char* modeReference = nullptr);
// Renames the temporary over path and flushes the directory entry. Refused
// when the temporary is not a plain file of the caller's or path is foreign.
bool CommitTemporaryFile(const std::string& temporary, const char* path);
// Removes the temporaries of path that processes which have ended left behind.
void RemoveStaleTemporaries(const char* path);
// The entries of a directory, "." and ".." left out; empty when unreadable.
std::vector<std::string> ListDirectory(const char* path);
// Whether a process with this id runs now.
bool ProcessAlive(uint32_t processId);

// Whether a storage may keep its files in this directory. Refused, like ssh's
// StrictModes, when a user other than the caller and root owns it or when
// group or others may write it (a sticky bit does not help: it stops removal,
// not the planting of new names), unless the environment variable
// SETTINGSTORE_ALLOW_SHARED_DIRECTORY is "1". A missing directory is
// accepted: the caller makes it its own. False with last error 5 and
// `problem` naming the directory and its owner.
bool CheckStorageDirectory(const char* path, std::string* problem);

// Renames a file, replacing what the new name held. False when it cannot
// (a missing source included).
bool RenameFile(const char* from, const char* to);

// ---- Advisory file locks ----------------------------------------------------
// An exclusive lock that cooperating processes take on a file of its own
// before they change the data it guards. The system drops it when the holder
// ends, also when it was killed.
class FileLock {
 public:
  // Opens the lock file, creating it (owner only) when missing and never
  // following a symbolic link, then waits up to `milliseconds` for the lock.
  // Null on failure, with last error 32 when others kept it past the time,
  // 5 when the file is no regular file, another user's (root's excepted) or
  // cannot be opened, 2 when its directory is missing, 31 when the system
  // refuses locks.
  static std::unique_ptr<FileLock> Acquire(const char* path, uint32_t milliseconds);
  // Releases the lock.
  virtual ~FileLock() = default;
};

// ---- Crash points -----------------------------------------------------------
// Counts one step of a file save: a file created, written, flushed, renamed or
// removed. When the environment variable SETTINGSTORE_CRASH_AFTER_IO holds a
// number N > 0 (read once), the process is killed at once after the N-th step,
// without any clean-up, so that tests can check what a crash leaves on disk.
// Unset, it costs one test of a flag.
void CountFileStep();

// ---- Waiting for change -----------------------------------------------------
// A word that threads sleep on until it changes. It may lie in memory that
// several processes map; a wait may end early, so callers look again.
void WaitOnWord(uint32_t* word, uint32_t expected, uint32_t milliseconds);
// Wakes every thread, of any process, sleeping on the word.
void WakeWordWaiters(uint32_t* word);

// What an event loop waits on: a descriptor that polls readable on Linux, a
// manual-reset event HANDLE on Windows. Throws std::runtime_error when the
// system has none to give.
class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  void Signal();
  void Clear();
  intptr_t Handle() const { return handle_; }

 private:
  intptr_t handle_;
};

// Tells when any process writes, replaces, creates or removes one file.
class FileChangeWatch {
 public:
  // Throws std::runtime_error when the file's directory cannot be watched.
  explicit FileChangeWatch(const std::string& path);
  ~FileChangeWatch();
  FileChangeWatch(const FileChangeWatch&) = delete;
  FileChangeWatch& operator=(const FileChangeWatch&) = delete;

  // True when the file changed since the previous call; waits up to
  // `milliseconds` for it.
  bool Wait(uint32_t milliseconds);

 private:
  intptr_t handle_;
  std::string name_;
};

// ---- Named kernel objects -------------------------------------------------
// Names start with "Local\" (this user) or "Global\" (all users); the rest
// is any text. An object exists while some process holds a handle to it,
// also when holders were killed. Closing a handle is destroying its object.

constexpr uint32_t kInfinite = 0xFFFFFFFF;

enum class WaitResult { kAcquired, kAbandoned, kTimedOut, kFailed };

class NamedMutex {
 public:
  // Creates the mutex or opens the existing one: last error 0 when new, 183
  // when it existed (then initiallyOwned is ignored, as on Windows). Null on
  // failure, with the last error set.
  static std::unique_ptr<NamedMutex> Create(const char* name, bool initiallyOwned);
  // Opens an existing mutex for waiting; null with last error 2 when none.
  static std::unique_ptr<NamedMutex> Open(const char* name);
  virtual ~NamedMutex() = default;

  // kAbandoned: acquired, but the previous owner thread ended while holding it.
  virtual WaitResult Wait(uint32_t milliseconds) = 0;
  // False when the calling thread does not own it.
  virtual bool Release() = 0;
};

// A manual-reset event: once set, every wait returns at once.
class NamedEvent {
 public:
  // Last error 0 when new (not set), 183 when it existed. Null on failure.
  static std::unique_ptr<NamedEvent> Create(const char* name);
  virtual ~NamedEvent() = default;

  // True when set within the time; 0 only polls, kInfinite waits for ever.
  virtual bool Wait(uint32_t milliseconds) = 0;
  virtual void Set() = 0;
};

// A named region of memory, zero-filled when created.
class NamedMapping {
 public:
  // Creates or opens a mapping of `size` bytes: last error 0 when new, 183
  // when it existed. Null on failure (8 when memory is short).
  static std::unique_ptr<NamedMapping> Create(const char* name, size_t size);
  // Opens an existing mapping; null with last error 2 when none.
  static std::unique_ptr<NamedMapping> Open(const char* name);
  virtual ~NamedMapping() = default;

  virtual size_t Size() const = 0;
  // The view; null on failure. One view per handle, unmapped by Unmap or on close.
  virtual void* Map() = 0;
  virtual void Unmap() = 0;
};

}  // namespace storage::platform

#endif  // SETTINGSTORE_PLATFORM_PLATFORM_H
