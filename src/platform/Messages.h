// The texts this layer shows in exceptions, assertions and the log. Hosts
// and tests match them byte for byte: change none without need.
#ifndef SETTINGSTORE_PLATFORM_MESSAGES_H
#define SETTINGSTORE_PLATFORM_MESSAGES_H

#include <string>

namespace storage::messages::platform {

inline constexpr char kIsSymbolicLink[] = "it is a symbolic link";
inline constexpr char kIsNotRegularFile[] = "it is not a regular file";
inline constexpr char kItBelongsToAnotherUser[] = "it belongs to another user";
inline constexpr char kBelongsToAnotherUser[] = "belongs to another user";
inline constexpr char kNoCurrentDirectory[] = "Unable to get the current directory";
inline constexpr char kSharedObjectForeignOwner[] = "Access denied to the shared object %s/%s: it belongs to uid %u";
inline constexpr char kSharedObjectDenied[] = "Access denied to the shared object %s/%s";
inline constexpr char kNoSnapshot[] = "Unable to get snapshot!";
inline constexpr char kRegistryStoreNotOpened[] = "registry store %s cannot be opened: %s";
inline constexpr char kRegistryStoreTooNew[] = "written by a newer version";
inline constexpr char kRegistryStoreNoDataVersion[] = "no data version";
inline constexpr char kRegistryStoreFailed[] = "registry store: %s";
inline constexpr char kObjectDirectoryDenied[] =
    "Access denied to the object directory %s: owned by uid %u with mode %04o, expected %04o";


// The parts of the refusal of a storage directory that others can write to.
inline std::string Uid(unsigned user) { return "uid " + std::to_string(user); }
inline std::string NamedUser(const char* name, unsigned user) {
  return std::string(name) + " (" + Uid(user) + ")";
}
inline std::string WritableByOthers(const char* mode) {
  return std::string("can be written by other users (mode ") + mode + ")";
}
inline std::string SharedDirectoryRefused(const std::string& directory, const std::string& owner,
                                          const std::string& reason) {
  return "refusing the storage directory '" + directory + "' owned by " + owner + ": it " + reason +
         ", so another user could plant or swap its files (set SETTINGSTORE_ALLOW_SHARED_DIRECTORY=1 "
         "to use it anyway)";
}

}  // namespace storage::messages::platform

#endif  // SETTINGSTORE_PLATFORM_MESSAGES_H
