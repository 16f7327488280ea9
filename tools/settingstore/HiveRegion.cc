#include "HiveRegion.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "shm/InitMemAddress.h"
#include "shm/PageManager.h"

namespace cli {

namespace {

std::string HiveFileName(const std::string& prefix, uint32_t index) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%03ud.dm2", index);
  return prefix + suffix;
}

uint32_t AddressOf(size_t hiveIndex, uint32_t offset) {
  return (static_cast<uint32_t>(hiveIndex + 1) << 24) | offset;
}

}  // namespace

HiveRegion::HiveRegion(std::vector<HiveImage> hives) : hives_(std::move(hives)) {
  for (size_t index = 0; index < hives_.size(); ++index) {
    const HiveImage& hive = hives_[index];
    for (const HiveBlock& block : hive.blocks()) {
      if (block.state != BlockState::kInUse) continue;
      if (hive.head() && hive.head()->offset == block.offset) continue;
      inUse_.emplace(AddressOf(index, block.offset), block);
      order_.push_back(AddressOf(index, block.offset));
    }
  }
}

HiveRegion HiveRegion::FromFiles(const std::string& filePrefix, Findings& findings) {
  Problems& damage = findings.damage;
  std::vector<HiveImage> hives;
  for (uint32_t index = 0; index < storage::PageManager::kMaxHives; ++index) {
    const std::string path = HiveFileName(filePrefix, index);
    const std::string label = std::filesystem::path(path).filename().string();
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
      damage.push_back(label + " is missing, but the hive before it says that another follows");
      break;
    }
    std::vector<uint8_t> image(static_cast<size_t>(file.tellg()));
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()))) {
      damage.push_back(label + " cannot be read");
      break;
    }
    hives.emplace_back(label, std::move(image), findings);
    const auto& head = hives.back().head();
    if (!head || head->lastFlag == 1) break;
    if (head->lastFlag != 0) {
      damage.push_back(label + ": the head's last flag reads " + HexWord(head->lastFlag));
      break;
    }
    if (index + 1 == storage::PageManager::kMaxHives) {
      damage.push_back(label + ": the last hive that addresses can name says that another follows");
    }
  }
  for (size_t index = 0; index + 1 < hives.size(); ++index) {
    const auto& head = hives[index].head();
    if (head && head->nextHash != hives[index + 1].AreaHash()) {
      damage.push_back(hives[index].label() + ": its head records the hash " + HexWord(head->nextHash) +
                       " for " + hives[index + 1].label() + ", whose content hashes to " +
                       HexWord(hives[index + 1].AreaHash()));
    }
  }
  return HiveRegion(std::move(hives));
}

const HiveImage* HiveRegion::HiveOf(uint32_t address) const {
  const int number = storage::InitMemAddress(address).HiveNumber();
  if (number < 1 || static_cast<size_t>(number) > hives_.size()) return nullptr;
  return &hives_[static_cast<size_t>(number) - 1];
}

const HiveBlock* HiveRegion::block(uint32_t address, uint32_t requested) const {
  const auto found = inUse_.find(address);
  if (found == inUse_.end() || found->second.requested != requested) return nullptr;
  return &found->second;
}

const uint8_t* HiveRegion::bytes(uint32_t address, uint32_t length) const {
  const HiveImage* hive = HiveOf(address);
  if (hive == nullptr) return nullptr;
  return hive->bytes(address & 0xFFFFFF, length);
}

uint32_t HiveRegion::word(uint32_t address) const {
  const uint8_t* at = bytes(address, sizeof(uint32_t));
  if (at == nullptr) return storage::InitMemAddress::kNull;
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

}  // namespace cli
