// The chain of hives that one client of the shared memory keeps (the tree's
// nodes, the string table or the access traits): hive k holds the addresses
// with hive number k + 1, and each head names the hash of the hive after it.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_HIVEREGION_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_HIVEREGION_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "HiveImage.h"

namespace cli {

class HiveRegion {
 public:
  HiveRegion() = default;
  explicit HiveRegion(std::vector<HiveImage> hives);

  // Reads <filePrefix>000d.dm2, 001d.dm2, ... as far as the heads say the
  // chain goes, and reports bad checksums, missing files and hives whose
  // content is not what the head before them recorded.
  static HiveRegion FromFiles(const std::string& filePrefix, Findings& findings);

  const std::vector<HiveImage>& hives() const { return hives_; }
  // The client blocks in use (head blocks excluded), by storage-wide address.
  const std::unordered_map<uint32_t, HiveBlock>& BlocksInUse() const { return inUse_; }
  // The same addresses in hive order and, within a hive, in table order.
  const std::vector<uint32_t>& AddressesInOrder() const { return order_; }
  // The block in use at this address if it has this requested size, else null.
  const HiveBlock* block(uint32_t address, uint32_t requested) const;
  // `length` bytes at this address, or null when they leave its hive.
  const uint8_t* bytes(uint32_t address, uint32_t length) const;
  // The word at this address; the null word when it leaves its hive.
  uint32_t word(uint32_t address) const;

 private:
  const HiveImage* HiveOf(uint32_t address) const;

  std::vector<HiveImage> hives_;
  std::unordered_map<uint32_t, HiveBlock> inUse_;
  std::vector<uint32_t> order_;
};

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_HIVEREGION_H
