#include "shareddom/SharedSettings.h"

#include "base/Exceptions.h"
#include "base/Path.h"
#include "shareddom/Messages.h"

namespace storage {

namespace {
constexpr const char* kGuid = "{3ED81CFF-852C-4b7a-90A8-70E058A540E4}";
}  // namespace

SharedSettings::SharedSettings(const char* storagePath)
    : storageFileName(".storage"),
      storageName(std::string("Local\\ShareMemoryStorage_") + kGuid),
      mapFileName(".storageMap"),
      mapName(std::string("Local\\ShareMemoryStorageMap_") + kGuid),
      syncName(std::string("Local\\ShareMemoryStorageSync_") + kGuid),
      blockName(std::string("Global\\ShareMemoryStorageBlock_") + kGuid) {
  STORAGE_ASSERT(storagePath != nullptr, messages::shareddom::kSharedSettingsFile,
                 messages::shareddom::kSharedSettingsConstructor, nullptr);
  path = utils::path::Normalize(storagePath);
  const std::string hash = utils::GenerateUniqueHashByPath(path);
  storageName += hash;
  mapName += hash;
  syncName += hash;
  blockName += hash;
}

}  // namespace storage
