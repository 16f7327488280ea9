// Who may have written a storage's files: the caller and root. A file that
// any other user owns was put there by someone the storage must not trust.
#ifndef SETTINGSTORE_PLATFORM_POSIX_FILEOWNER_H
#define SETTINGSTORE_PLATFORM_POSIX_FILEOWNER_H

#include <sys/types.h>
#include <unistd.h>

namespace storage::platform::posix {

inline bool IsForeignOwner(uid_t owner) { return owner != geteuid() && owner != 0; }

// Closes a file descriptor on every way out of a scope.
class DescriptorCloser {
 public:
  explicit DescriptorCloser(int descriptor) : descriptor_(descriptor) {}
  ~DescriptorCloser() { close(descriptor_); }
  DescriptorCloser(const DescriptorCloser&) = delete;
  DescriptorCloser& operator=(const DescriptorCloser&) = delete;

 private:
  int descriptor_;
};

}  // namespace storage::platform::posix

#endif  // SETTINGSTORE_PLATFORM_POSIX_FILEOWNER_H
