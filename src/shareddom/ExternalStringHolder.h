// A string of 1024 bytes or more: its text lives in a file of its own,
// "external_<hex>.dm2" in the external-string directory, and its chunk chain
// carries the file's path. The head block keeps the text's hash, so that the
// text is read only when someone asks for it.
#ifndef SETTINGSTORE_SHAREDDOM_EXTERNALSTRINGHOLDER_H
#define SETTINGSTORE_SHAREDDOM_EXTERNALSTRINGHOLDER_H

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "shareddom/StringHolderBase.h"

namespace storage {

// A long text's file could not be made, written or read. Its own type lets the
// shared DOM report the operation as failed instead of letting a standard
// error reach the host.
class ExternalFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ExternalStringHolder : public StringHolderBase {
 public:
  using StringHolderBase::StringHolderBase;

  // Writes the text to a new file first; a file that cannot be made or
  // written completely raises, and neither the file nor a head block stays.
  void Create(std::string_view text) override;
  // Reads the stored path and finds the file of that name in the current
  // external-string directory, so that a storage moved elsewhere keeps its
  // external strings.
  void Bind(const InitMemAddress& address) override;
  // Frees the shared blocks; the file stays (see Free).
  void Free() override;
  int32_t Hash() override;

  // The file that holds the text.
  const std::string& Path() const { return path_; }

 protected:
  std::unique_ptr<std::string> ReadText() override;

 private:
  // Creates a new file with a name of its own holding the text, and returns
  // its path; a file that cannot be written completely raises, and none stays.
  std::string MakeNewFile(std::string_view text);

  std::string path_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_EXTERNALSTRINGHOLDER_H
