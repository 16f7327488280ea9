// Where the file of a named kernel object lives: "Local\" names (and names
// without a prefix) in a directory of the user's own, "Global\" names in one
// directory shared by all users (sticky, like /tmp), both on tmpfs. Either
// way an object file is its creator's alone (0600).
#ifndef SETTINGSTORE_PLATFORM_POSIX_OBJECTDIRECTORY_H
#define SETTINGSTORE_PLATFORM_POSIX_OBJECTDIRECTORY_H

#include <string>

namespace storage::platform::posix {

struct ObjectLocation {
  int directory = -1;  // descriptor of the verified name-space directory
  std::string directoryPath;
  std::string fileName;  // the name, escaped into a safe file name
  std::string key;       // unique within the process: name space and file name
};

// Resolves a name. False with the last error set when the name is unusable
// (87) or the name space's directory cannot be had.
bool LocateObject(const char* name, ObjectLocation* location);

}  // namespace storage::platform::posix

#endif  // SETTINGSTORE_PLATFORM_POSIX_OBJECTDIRECTORY_H
