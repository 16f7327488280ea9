#include "LiveStorage.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "CliError.h"
#include "platform/Platform.h"
#include "shareddom/SharedSettings.h"
#include "shm/PageManager.h"

namespace cli {

bool StorageIsLive(const std::string& directory) {
  const storage::SharedSettings settings(directory.c_str());
  if (storage::platform::NamedMutex::Open(settings.blockName.c_str()) != nullptr) return true;
  const uint32_t error = storage::platform::GetLastError();
  if (error == storage::platform::kErrorFileNotFound) return false;
  // Being made or torn down right now: in use.
  if (error == storage::platform::kErrorSharingViolation) return true;
  throw CliError(kFailure, "cannot tell whether the storage in '" + directory + "' is in use (error " +
                               std::to_string(error) + ")");
}

std::vector<HiveImage> SnapshotHives(const std::string& namePrefix) {
  std::vector<HiveImage> hives;
  Findings ignored;  // a live hive's checksum is only written at its save
  for (uint32_t index = 0; index < storage::PageManager::kMaxHives; ++index) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%03ud", index);
    const auto mapping = storage::platform::NamedMapping::Open((namePrefix + suffix).c_str());
    if (!mapping) break;
    auto* words = static_cast<uint32_t*>(mapping->Map());
    if (words == nullptr) break;
    // Word by word and atomically: other processes write these words now.
    std::vector<uint8_t> image(mapping->Size() / sizeof(uint32_t) * sizeof(uint32_t));
    for (size_t i = 0; i < image.size() / sizeof(uint32_t); ++i) {
      const uint32_t word = std::atomic_ref<uint32_t>(words[i]).load(std::memory_order_relaxed);
      std::memcpy(image.data() + i * sizeof word, &word, sizeof word);
    }
    mapping->Unmap();
    hives.emplace_back(namePrefix + suffix, std::move(image), ignored);
  }
  return hives;
}

}  // namespace cli
