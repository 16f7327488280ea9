// The texts this layer shows in exceptions, assertions and the log. Hosts
// and tests match them byte for byte: change none without need.
#ifndef SETTINGSTORE_REGISTRY_MESSAGES_H
#define SETTINGSTORE_REGISTRY_MESSAGES_H

namespace storage::messages::registry {

inline constexpr char kControllerFile[] = "RegisteryStorage\\RegisteryStorage";
inline constexpr char kControllerConstructor[] = "storage::RegisteryStorageController::RegisteryStorageController";

}  // namespace storage::messages::registry

#endif  // SETTINGSTORE_REGISTRY_MESSAGES_H
