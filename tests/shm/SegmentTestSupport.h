// What the shared-memory tests, the shared DOM's tests and their helper
// processes agree on: the segment types, an owning pointer that closes
// through Release, signs between processes (a file that appears), and the
// named objects a test must not leave behind.
#ifndef SETTINGSTORE_TESTS_SHM_SEGMENTTESTSUPPORT_H
#define SETTINGSTORE_TESTS_SHM_SEGMENTTESTSUPPORT_H

#ifndef _WIN32
#include <unistd.h>
#endif

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

// Waits up to two minutes: the processes of a run under a sanitizer may take that long.
template <class Done>
bool WaitUntil(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
// Until the file exists and opens: on Windows a file being renamed into
// place shows its name before it can be opened.
inline bool WaitForFile(const std::filesystem::path& path) {
  return WaitUntil([&] { return std::ifstream(path).is_open(); });
}

#ifndef _WIN32
// How many named objects of this user have names that start with `start`
// (given without "Local\" and needing no escaping). Windows ends an object
// with its last handle and keeps nothing to count, so it has no such check.
inline int NamedObjectsStartingWith(const std::string& start) {
  int count = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator("/dev/shm/settingstore-" + std::to_string(geteuid()))) {
    count += entry.path().filename().string().starts_with(start) ? 1 : 0;
  }
  return count;
}
#endif

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHM_SEGMENTTESTSUPPORT_H
