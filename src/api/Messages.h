// The texts this layer shows in exceptions, assertions and the log. Hosts
// and tests match them byte for byte: change none without need.
#ifndef SETTINGSTORE_API_MESSAGES_H
#define SETTINGSTORE_API_MESSAGES_H

namespace storage::messages::api {

inline constexpr char kNoInitializer[] = "InitializeStorage needs an initializer";

}  // namespace storage::messages::api

#endif  // SETTINGSTORE_API_MESSAGES_H
