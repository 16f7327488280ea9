// One hive as stored: the 64-byte segment header, then the block allocator's
// area. Parsed from a copy of its bytes (a .dm2 file or a snapshot of a live
// segment), so that no damage in it can reach beyond the copy: every read is
// bounds-checked and whatever does not fit the format is reported, not trusted.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_HIVEIMAGE_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_HIVEIMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// What a check found, one readable line each.
using Problems = std::vector<std::string>;

// Damage makes a storage unsound. Leaks are room that a process which ended
// in the middle of an operation left taken: lost space, but nothing that any
// reader could meet.
struct Findings {
  Problems damage;
  Problems leaks;
};

// "0x0100ffc0": how addresses and words appear in reports.
std::string HexWord(uint32_t word);

// kLost: taken by an operation that never finished (a carve or a claim for
// reuse cut short), so neither in use nor free.
enum class BlockState { kInUse, kFree, kLost };

struct HiveBlock {
  uint32_t offset;
  // The space the block occupies (its size rounded up to a multiple of four).
  uint32_t rounded;
  // In use: the size its owner asked for; 0 otherwise.
  uint32_t requested;
  BlockState state;
};

struct HiveHead {
  uint32_t offset;
  bool dead;  // signed "deadhive": the storage was given up as damaged
  uint32_t nextHash;
  uint32_t lastFlag;
};

class HiveImage {
 public:
  // `label` names the hive in what is reported about it.
  HiveImage(std::string label, std::vector<uint8_t> image, Findings& findings);

  const std::string& label() const { return label_; }
  // Whether the header's checksum is the hash of the area.
  bool ChecksumMatches() const { return storedChecksum_ == areaHash_; }
  uint32_t AreaHash() const { return areaHash_; }
  uint32_t AreaSize() const { return areaSize_; }
  uint32_t carved() const { return carved_; }
  // Every descriptor that names a block, in table order.
  const std::vector<HiveBlock>& blocks() const { return blocks_; }
  // The head block, when the hive has a sound one.
  const std::optional<HiveHead>& head() const { return head_; }

  // `length` bytes at this area offset, or null when they leave the area.
  const uint8_t* bytes(uint32_t offset, uint32_t length) const;
  // The 32-bit word at this area offset; the caller checked the bounds.
  uint32_t word(uint32_t offset) const;

 private:
  void ParseArea(Findings& findings);
  void ParseTable(uint32_t entries, Findings& findings);
  void FindHead(Problems& damage);

  std::string label_;
  std::vector<uint8_t> image_;
  uint32_t areaSize_ = 0;
  uint32_t storedChecksum_ = 0;
  uint32_t areaHash_ = 0;
  uint32_t carved_ = 0;
  std::vector<HiveBlock> blocks_;
  std::optional<HiveHead> head_;
};

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_HIVEIMAGE_H
