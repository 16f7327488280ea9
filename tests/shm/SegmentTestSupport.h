// What the shared segment tests and their helper commands agree on: the
// segment types, an owning pointer that closes through Release, the marks
// both sides leave in a payload, the helper's exit codes and file signs.
#ifndef SETTINGSTORE_TESTS_SHARED_SEGMENTTESTSUPPORT_H
#define SETTINGSTORE_TESTS_SHARED_SEGMENTTESTSUPPORT_H

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
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

enum SegmentHelperExit : int {
  kHelperDone = 0,
  kHelperCreatedInstead = 1,  // the segment was new (or loaded anew): the test's one was not found
  kHelperNoTestMark = 2,      // the test's mark was not in the payload
  kHelperOpenFailed = 3,
  kHelperNoGoSign = 4,
  kHelperThrew = 5,
  kHelperBadArguments = 6,
};

// Signs between the processes of a test: a file that appears.
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

#endif  // SETTINGSTORE_TESTS_SHARED_SEGMENTTESTSUPPORT_H
