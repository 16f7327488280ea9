// What the shared-memory tests, their helper commands and the shared DOM's
// helpers agree on: the segment types, an owning pointer that closes through
// Release, and signs between processes (a file that appears).
#ifndef SETTINGSTORE_TESTS_SHM_SEGMENTTESTSUPPORT_H
#define SETTINGSTORE_TESTS_SHM_SEGMENTTESTSUPPORT_H

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "shm/SharedMemory.h"

namespace settingstore::test {

using MemorySegment = storage::SharedMemoryBase<storage::SharedHeader>;
using FileSegment = storage::SharedFileBase<storage::SharedHeader, storage::hash::HashHelper<0>>;

struct SegmentReleaser {
  void operator()(storage::SharedRegion* segment) const { segment->Release(); }
};
template <class Segment>
using SegmentPtr = std::unique_ptr<Segment, SegmentReleaser>;

// Payload byte 0 carries the test's mark, byte 1 the helper's.
inline constexpr uint8_t kTestMark = 0xA1;
inline constexpr uint8_t kHelperMark = 0xB2;

inline void TouchFile(const std::filesystem::path& path) { std::ofstream(path).put('\n'); }

// Waits up to ten seconds for the file; false when it did not appear.
inline bool WaitForFile(const std::filesystem::path& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHM_SEGMENTTESTSUPPORT_H
