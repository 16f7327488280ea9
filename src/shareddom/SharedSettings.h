// The names of every shared object of one shared DOM storage. Every process
// that names the same storage path (after normalisation) derives the same
// names, and so meets the same shared memory, hive files and block mutex.
#ifndef SETTINGSTORE_SHAREDDOM_SHAREDSETTINGS_H
#define SETTINGSTORE_SHAREDDOM_SHAREDSETTINGS_H

#include <string>

namespace storage {

struct SharedSettings {
  // A null path is an AssertException.
  explicit SharedSettings(const char* storagePath);

  std::string path;             // normalised
  std::string storageFileName;  // the node hives' file prefix, inside path
  std::string storageName;      // the node hives' segments
  std::string mapFileName;      // the string hives' file prefix, inside path
  std::string mapName;          // the string hives' segments
  std::string syncName;         // the access controller's segments
  std::string blockName;        // the mutex that marks the storage in use
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_SHAREDSETTINGS_H
