#include "HiveImage.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "base/HashHelper.h"
#include "shm/PageManager.h"

namespace cli {

namespace {

// The segment header: its checksum word covers everything behind the header.
constexpr uint32_t kHeaderSize = 64;
constexpr uint32_t kChecksumOffset = 8;

// The allocator's area: version, carved bytes, descriptor count, hive lock,
// then 16-byte descriptors {offset, tag, block lock}; blocks are carved from
// the top down, each directly below the one carved before it.
constexpr uint32_t kVersion = 0x00010001;
constexpr uint32_t kCarvedOffset = 4;
constexpr uint32_t kEntriesOffset = 8;
constexpr uint32_t kTableStart = 20;
constexpr uint32_t kDescriptorSize = 16;
constexpr uint32_t kTagOffset = 4;
constexpr uint64_t kReserve = 160;
constexpr uint32_t kUnwritten = 0xCCCCCCCC;
constexpr uint32_t kStateMask = 0xC0000000;
constexpr uint32_t kStateInUse = 0xC0000000;
constexpr uint32_t kStateFree = 0x40000000;
constexpr uint32_t kStateClaimed = 0x80000000;
constexpr uint32_t kValueMask = 0x3FFFFFFF;

constexpr char kLiveSignature[] = "hivehead";
constexpr char kDeadSignature[] = "deadhive";
constexpr uint32_t kSignatureLength = 8;
constexpr uint32_t kNextHashOffset = 8;
constexpr uint32_t kLastFlagOffset = 12;

uint32_t RoundUp(uint32_t size) { return (size + 3) & ~uint32_t{3}; }

}  // namespace

std::string HexWord(uint32_t word) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", word);
  return text;
}

HiveImage::HiveImage(std::string label, std::vector<uint8_t> image, Findings& findings)
    : label_(std::move(label)), image_(std::move(image)) {
  if (image_.size() != storage::PageManager::kHiveSize) {
    findings.damage.push_back(label_ + ": " + std::to_string(image_.size()) + " bytes instead of " +
                              std::to_string(storage::PageManager::kHiveSize));
    return;
  }
  areaSize_ = static_cast<uint32_t>(image_.size()) - kHeaderSize;
  std::memcpy(&storedChecksum_, image_.data() + kChecksumOffset, sizeof storedChecksum_);
  areaHash_ = storage::hash::HashHelper<0>().Compute(image_.data() + kHeaderSize, areaSize_);
  if (!ChecksumMatches()) {
    findings.damage.push_back(label_ + ": checksum " + HexWord(storedChecksum_) +
                              " does not match the content (" + HexWord(areaHash_) + ")");
  }
  ParseArea(findings);
}

const uint8_t* HiveImage::bytes(uint32_t offset, uint32_t length) const {
  if (offset > areaSize_ || length > areaSize_ - offset) return nullptr;
  return image_.data() + kHeaderSize + offset;
}

uint32_t HiveImage::word(uint32_t offset) const {
  const uint8_t* at = bytes(offset, sizeof(uint32_t));
  if (at == nullptr) return kUnwritten;
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

void HiveImage::ParseArea(Findings& findings) {
  const uint32_t version = word(0);
  if (version != kVersion) {
    findings.damage.push_back(label_ + ": no formatted hive area (version word " + HexWord(version) + ")");
    return;
  }
  carved_ = word(kCarvedOffset);
  const int32_t entries = static_cast<int32_t>(word(kEntriesOffset));
  if (entries < 0 || carved_ > areaSize_ ||
      kTableStart + uint64_t{kDescriptorSize} * static_cast<uint32_t>(entries) + kReserve >=
          areaSize_ - uint64_t{carved_}) {
    findings.damage.push_back(label_ + ": the block table (" + std::to_string(entries) +
                              " descriptors) and the " + std::to_string(carved_) +
                              " carved bytes do not fit the hive");
    carved_ = 0;
    return;
  }
  ParseTable(static_cast<uint32_t>(entries), findings);
  FindHead(findings.damage);
}

// Each block lies directly below the one carved before it. A process that
// ended in the middle of a carve or a claim leaves a descriptor unwritten or
// claimed: its room is lost, and the blocks after it still line up.
void HiveImage::ParseTable(uint32_t entries, Findings& findings) {
  const uint32_t bottom = areaSize_ - carved_;
  uint32_t expected = areaSize_;  // where the next block must end
  bool cutShort = false;          // a carve before this block never wrote its descriptor
  for (uint32_t k = 0; k < entries; ++k) {
    const uint32_t at = kTableStart + kDescriptorSize * k;
    const uint32_t offset = word(at);
    const uint32_t tag = word(at + kTagOffset);
    const std::string where =
        label_ + ": descriptor " + std::to_string(k) + " (block " + HexWord(offset) + ")";
    if (offset == kUnwritten) {
      findings.leaks.push_back(label_ + ": descriptor " + std::to_string(k) +
                               " was counted but never written");
      cutShort = true;
      continue;
    }
    HiveBlock block{offset, 0, 0, BlockState::kLost};
    if ((tag & kStateMask) == kStateInUse && tag != kUnwritten && (tag & kValueMask) != 0) {
      block = {offset, RoundUp(tag & kValueMask), tag & kValueMask, BlockState::kInUse};
    } else if ((tag & kStateMask) == kStateFree && (tag & kValueMask) != 0 && (tag & 3) == 0) {
      block = {offset, tag & kValueMask, 0, BlockState::kFree};
    } else if (tag == kUnwritten) {
      findings.leaks.push_back(where + " was carved but never handed out");
    } else if ((tag & kStateMask) == kStateClaimed) {
      findings.leaks.push_back(where + " was being claimed for reuse when the hive was written");
    } else {
      findings.damage.push_back(where + " has the unreadable tag " + HexWord(tag));
    }
    // A lost block's size is the room its neighbours leave.
    if (block.rounded == 0 && offset < expected) block.rounded = expected - offset;
    const bool placed = offset % 4 == 0 && offset >= bottom && block.rounded <= expected &&
                        (cutShort ? offset <= expected - block.rounded : offset == expected - block.rounded);
    if (!placed) {
      findings.damage.push_back(where + " is not where the blocks carved before it end (" +
                                HexWord(expected) + ")");
      if (offset % 4 != 0 || offset < bottom || offset >= expected) return;
      block.rounded = expected - offset;
    }
    cutShort = false;
    expected = offset;
    blocks_.push_back(block);
  }
  if (expected != bottom && !cutShort) {
    findings.damage.push_back(label_ + ": the blocks cover " + std::to_string(areaSize_ - expected) +
                              " bytes, the hive says " + std::to_string(carved_) + " were carved");
  }
}

void HiveImage::FindHead(Problems& damage) {
  for (const HiveBlock& block : blocks_) {
    if (block.state != BlockState::kInUse || block.requested != storage::PageManager::kHeadSize) continue;
    const uint8_t* signature = bytes(block.offset, kSignatureLength);
    const bool live = std::memcmp(signature, kLiveSignature, kSignatureLength) == 0;
    const bool dead = std::memcmp(signature, kDeadSignature, kSignatureLength) == 0;
    if (!live && !dead) {
      damage.push_back(label_ + ": the head block at " + HexWord(block.offset) + " has no hive signature");
      return;
    }
    if (dead) damage.push_back(label_ + ": the storage was marked dead (\"deadhive\")");
    head_ = HiveHead{block.offset, dead, word(block.offset + kNextHashOffset),
                     word(block.offset + kLastFlagOffset)};
    return;
  }
  damage.push_back(label_ + ": no head block");
}

}  // namespace cli
