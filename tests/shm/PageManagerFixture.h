// A page manager test's own names: a segment name prefix and a temporary
// directory for hive files, both unique to the test process and removed at
// the end, and readers of heads and hive files.
#ifndef SETTINGSTORE_TESTS_SHARED_PAGEMANAGERFIXTURE_H
#define SETTINGSTORE_TESTS_SHARED_PAGEMANAGERFIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/HashHelper.h"
#include "platform/Platform.h"
#include "shm/PageManager.h"
#include "shm/helper/PageManagerSupport.h"
#include "support/TempDirectory.h"

namespace settingstore::test {

// Where the head of a hive lies: it is the first block carved from the top.
inline constexpr uint32_t kHeadOffset = 1048448;
inline constexpr uint32_t kSegmentHeaderSize = 64;

struct HiveHead {
  std::string signature;
  uint32_t hash;
  uint32_t last;
};

inline HiveHead ReadHead(const void* head) {
  const auto* bytes = static_cast<const char*>(head);
  HiveHead result{std::string(bytes, 8), 0, 0};
  std::memcpy(&result.hash, bytes + 8, 4);
  std::memcpy(&result.last, bytes + 12, 4);
  return result;
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  std::vector<uint8_t> bytes(file ? static_cast<size_t>(file.tellg()) : 0);
  file.seekg(0);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The hash of a hive file's data area, as the chain and the checksum use it.
inline uint32_t PayloadHash(const std::vector<uint8_t>& image) {
  return storage::hash::HashHelper<0>().getResult(image.data() + kSegmentHeaderSize,
                                                  image.size() - kSegmentHeaderSize);
}

inline HiveHead FileHead(const std::vector<uint8_t>& image) {
  return ReadHead(image.data() + kSegmentHeaderSize + kHeadOffset);
}

// Every client block a page manager reports, in order.
class BlockCollector : public storage::MemoryBlockVisitor {
 public:
  bool MemoryBlock(const storage::InitMemAddress& address, int32_t size) override {
    addresses.push_back(address.value());
    sizes.push_back(size);
    return stopAfter == 0 || addresses.size() < stopAfter;
  }
  std::vector<uint32_t> addresses;
  std::vector<int32_t> sizes;
  size_t stopAfter = 0;  // 0: never stop
};

class PageManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    const std::string id =
        std::to_string(storage::platform::CurrentProcessId()) + "_" + std::to_string(counter++);
    name_ = "Local\\pmtest_" + id + "_";
  }

  const std::string& Name() const { return name_; }
  std::string FilePrefix() const { return directory_.File("hive"); }
  // A file of the storage in its directory ("hive000d.dm2").
  std::filesystem::path Path(const char* name) const { return directory_.path() / name; }
  // Whether the segment named by the prefix and this suffix ("000d") exists now.
  bool SegmentExists(const char* suffix) const {
    return storage::platform::NamedMapping::Open((name_ + suffix).c_str()) != nullptr;
  }

  void Start(storage::PageManager& manager, bool fileBacked = false) {
    StartPageManager(manager, name_, fileBacked ? FilePrefix() : "");
  }

 private:
  std::string name_;
  TempDirectory directory_;
};

// The message of the exception of that type that a call raises; none when
// it raises none.
template <class Exception, class Call>
std::optional<std::string> WhatOf(Call call) {
  try {
    call();
  } catch (const Exception& raised) {
    return std::string(raised.what());
  }
  return std::nullopt;
}

template <class Call>
std::optional<storage::AssertException> AssertionOf(Call call) {
  try {
    call();
  } catch (const storage::AssertException& raised) {
    return raised;
  }
  return std::nullopt;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHARED_PAGEMANAGERFIXTURE_H
