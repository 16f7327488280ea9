// The name-space directories of named objects and the escaping of names into
// file names.
#include "platform/posix/ObjectDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string_view>

#include "platform/Messages.h"
#include "platform/Platform.h"
#include "platform/posix/SharedObject.h"

namespace storage::platform::posix {

namespace {

constexpr std::string_view kLocalPrefix = "Local\\";
constexpr std::string_view kGlobalPrefix = "Global\\";
// Far enough below NAME_MAX; escaping triples a byte at most.
constexpr size_t kMaxFileNameLength = 240;

struct NameSpace {
  std::string path;
  mode_t mode;
  bool shared;
  std::mutex mutex;
  int descriptor = -1;
};

// Opens the directory, creating it when missing, and accepts it only as a real
// directory (not a link) with exactly the expected permissions. Ours must be
// our own. The one shared by all users is made by whoever comes first: it is
// accepted from any owner while its bits are 1777, since the sticky bit keeps
// every user's objects from the others and the objects themselves are private.
int OpenVerifiedDirectory(const NameSpace& space) {
  if (mkdir(space.path.c_str(), space.mode) != 0 && errno != EEXIST) return -1;
  int fd = open(space.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info = {};
  uid_t me = geteuid();
  bool usable = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) &&
                (info.st_uid == me || (space.shared && (info.st_uid == 0 || (info.st_mode & 07777) == space.mode)));
  // mkdir is subject to the umask; an owner can set the bits right.
  if (usable && (info.st_mode & 07777) != space.mode && info.st_uid == me) {
    usable = fchmod(fd, space.mode) == 0;
    info.st_mode = (info.st_mode & ~07777) | space.mode;
  }
  if (!usable || (info.st_mode & 07777) != space.mode) {
    Log(LogLevel::kError,
        messages::platform::kObjectDirectoryDenied,
        space.path.c_str(), static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_mode & 07777),
        static_cast<unsigned>(space.mode));
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

// The directory's descriptor, opened on first use and kept while the
// directory exists. Each opening also clears what killed holders left there.
int Directory(NameSpace& space) {
  std::lock_guard<std::mutex> lock(space.mutex);
  struct stat info;
  if (space.descriptor >= 0 && fstat(space.descriptor, &info) == 0 && info.st_nlink == 0) {
    close(space.descriptor);  // removed under us (as at a user's logout)
    space.descriptor = -1;
  }
  if (space.descriptor < 0) {
    space.descriptor = OpenVerifiedDirectory(space);
    if (space.descriptor < 0) {
      SetLastError(ErrorFromErrno(errno));
      return -1;
    }
    ReclaimStaleObjects(space.descriptor);
  }
  return space.descriptor;
}

NameSpace& LocalNameSpace() {
  static NameSpace* space =
      new NameSpace{"/dev/shm/settingstore-" + std::to_string(geteuid()), 0700, false, {}, -1};
  return *space;
}

NameSpace& GlobalNameSpace() {
  // Sticky: no user can remove or rename another user's live object.
  static NameSpace* space = new NameSpace{"/dev/shm/settingstore-global", 01777, true, {}, -1};
  return *space;
}

bool IsPlainByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '{' || c == '}';
}

// Keeps letters, digits and _-{} and writes every other byte as %XX. As '%'
// itself is escaped, two names never give one file name, and no file name is
// "." or "..", or holds a '/'.
std::string EscapeName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(name.size());
  for (unsigned char c : name) {
    if (IsPlainByte(c)) {
      escaped += static_cast<char>(c);
    } else {
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 15];
    }
  }
  return escaped;
}

}  // namespace

bool LocateObject(const char* name, ObjectLocation* location) {
  if (name == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::string_view rest = name;
  bool global = rest.starts_with(kGlobalPrefix);
  if (global) {
    rest.remove_prefix(kGlobalPrefix.size());
  } else if (rest.starts_with(kLocalPrefix)) {
    rest.remove_prefix(kLocalPrefix.size());
  }
  std::string fileName = EscapeName(rest);
  if (fileName.empty() || fileName.size() > kMaxFileNameLength) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  int directory = Directory(global ? GlobalNameSpace() : LocalNameSpace());
  if (directory < 0) return false;
  location->directory = directory;
  location->directoryPath = (global ? GlobalNameSpace() : LocalNameSpace()).path;
  location->key = (global ? "G/" : "L/") + fileName;
  location->fileName = std::move(fileName);
  return true;
}

}  // namespace storage::platform::posix
