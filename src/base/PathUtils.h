// Path routines shared by the XML backend and the shared DOM: splitting a
// section path, joining path pieces, and directory and whole-file helpers.
// Backslash and slash both separate; what goes to the file system carries the
// platform's own separator. None of them keeps state.
#ifndef SETTINGSTORE_BASE_PATHUTILS_H
#define SETTINGSTORE_BASE_PATHUTILS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace storage::utils {

// A section path taken apart by Split.
class SectionPath {
 public:
  SectionPath(std::string text, std::string drive, std::vector<std::string> components);

  // The text as given; empty for a null path.
  const std::string& Text() const { return text_; }
  // The text before the first ":"; empty when there is none.
  const std::string& Drive() const { return drive_; }
  // The number of components.
  size_t Size() const { return components_.size(); }
  // A copy of the i-th component (never empty); std::out_of_range past the end.
  std::string Component(size_t i) const;

 private:
  std::string text_;
  std::string drive_;
  std::vector<std::string> components_;
};

// Splits a section path at the framework's separators: runs of separators
// count as one, leading and trailing ones are ignored. With a ":", the text up
// to the first separator after it is no component ("C:x\\a" has only "a").
SectionPath Split(const char* path);

// a and b with exactly one separator between them where one is needed: b when
// a is empty; a + b when either side brings a separator (one of them dropped
// when both do); otherwise a, the platform's separator, b (also for empty b).
std::string Join(std::string_view a, std::string_view b);

// Whether the path names an existing directory; one trailing separator is
// allowed. An empty path is no directory.
bool IsDirectory(std::string_view path);

// Creates the directories of the path that do not exist yet; with lastIsFile
// the last component is a file name and is not created. True when every
// directory of the chain exists afterwards (also when there is none to make).
bool CreateDirectoryChain(std::string_view path, bool lastIsFile);

// All bytes of the file; empty when it cannot be opened or read.
std::string ReadWholeFile(std::string_view path);

// A whole file as read, telling a missing file from one that is there but
// cannot be read (no permission, a directory, an I/O error) or must not be:
// a symbolic link or another user's file, which someone may have planted.
struct FileRead {
  enum class Outcome { kRead, kMissing, kUnreadable };
  Outcome outcome = Outcome::kMissing;
  std::string content;  // the bytes when read
  std::string error;    // the system's reason when unreadable
};
FileRead ReadWholeFileReporting(std::string_view path);

// Replaces the file's content with these bytes (not atomically). False when
// the file cannot be opened or not every byte reaches it.
bool WriteWholeFile(std::string_view path, std::string_view content);

}  // namespace storage::utils

#endif  // SETTINGSTORE_BASE_PATHUTILS_H
