// Helper commands of the shared segment tests: the other process that opens,
// changes and closes a segment while the test holds it too.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "shm/SegmentTestSupport.h"
#include "shm/helper/commands.h"
#include "storage/storage.h"

namespace settingstore::test {
namespace {

// Checks the test's mark in the payload and leaves the helper's beside it.
bool Exchange(storage::SharedRegion& segment) {
  auto* payload = static_cast<uint8_t*>(segment.GetData());
  if (payload[0] != kTestMark) return false;
  payload[1] = kHelperMark;
  return true;
}

// segment-memory-join <name> <ready file>: touches the ready file, then opens
// the memory segment that the test made (waiting for the test's Unlock),
// checks the test's mark and leaves its own.
int MemoryJoin(const std::vector<std::string>& args) {
  if (args.size() != 2) return kHelperBadArguments;
  TouchFile(args[1]);
  SegmentPtr<MemorySegment> segment(new MemorySegment);
  if (!segment->Open(args[0].c_str(), storage::kSharedFileSize)) return kHelperOpenFailed;
  if (storage::platform::GetLastError() != storage::platform::kErrorAlreadyExists)
    return kHelperCreatedInstead;
  const bool exchanged = Exchange(*segment);
  segment->Unlock();
  return exchanged ? kHelperDone : kHelperNoTestMark;
}

// segment-file-join <name> <file> <ready file> <go file or ->: opens the file
// segment without createIfMissing, checks the test's mark and leaves its own,
// touches the ready file, waits for the go file (unless "-"), and closes.
int FileJoin(const std::vector<std::string>& args) {
  if (args.size() != 4) return kHelperBadArguments;
  try {
    SegmentPtr<FileSegment> segment(new FileSegment);
    if (!segment->Open(args[0].c_str(), args[1].c_str(), false)) return kHelperOpenFailed;
    if (segment->loadedFromFile()) return kHelperCreatedInstead;
    const bool exchanged = Exchange(*segment);
    segment->Unlock();
    TouchFile(args[2]);
    if (args[3] != "-" && !WaitForFile(args[3])) return kHelperNoGoSign;
    segment.reset();
    return exchanged ? kHelperDone : kHelperNoTestMark;
  } catch (const storage::TechnicalException& error) {
    std::fprintf(stderr, "segment-file-join: %s\n", error.what());
    return kHelperThrew;
  }
}

// segment-save-loop <name> <file>: until it is killed, opens the file segment
// (creating it when missing), fills the whole payload with the next
// generation's byte and closes it, which saves it. Every saved image is
// uniform, so a torn one would show.
int SaveLoop(const std::vector<std::string>& args) {
  if (args.size() != 2) return kHelperBadArguments;
  try {
    for (;;) {
      SegmentPtr<FileSegment> segment(new FileSegment);
      if (!segment->Open(args[0].c_str(), args[1].c_str(), true)) return kHelperOpenFailed;
      auto* payload = static_cast<uint8_t*>(segment->GetData());
      std::memset(payload, payload[0] + 1, segment->GetDataSize());
      segment->Unlock();
    }
  } catch (const storage::TechnicalException& error) {
    std::fprintf(stderr, "segment-save-loop: %s\n", error.what());
    return kHelperThrew;
  }
}

const HelperCommandRegistrar kMemoryJoin("segment-memory-join", MemoryJoin);
const HelperCommandRegistrar kFileJoin("segment-file-join", FileJoin);
const HelperCommandRegistrar kSaveLoop("segment-save-loop", SaveLoop);

}  // namespace
}  // namespace settingstore::test
