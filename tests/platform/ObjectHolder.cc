// The helper process of the named-object tests. Usage:
//   hold <mutex|event|mapping> <name> [<size> <fill byte>]
//       creates the object (the mutex owned, the event set, the mapping filled),
//       prints "<last error> <thread id>", then holds it until its input closes;
//   create <mutex|event|mapping> <name>
//       creates the object, prints the last error and ends;
//   wait <name>
//       opens the mutex and prints the last error; then, for each line of
//       input with a number of milliseconds, waits that long for the mutex,
//       prints the wait result (0 acquired, 1 abandoned, 2 timed out, 3 failed)
//       and releases it again when acquired.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/Platform.h"

using namespace storage::platform;

namespace {

// The object stays open while the returned handle lives.
std::shared_ptr<void> CreateObject(const std::string& kind, const char* name, size_t size, int fill) {
  if (kind == "mutex") return NamedMutex::Create(name, true);
  if (kind == "event") {
    std::shared_ptr<NamedEvent> event = NamedEvent::Create(name);
    if (event != nullptr) event->Set();
    return event;
  }
  std::shared_ptr<NamedMapping> mapping = NamedMapping::Create(name, size);
  void* view = mapping != nullptr ? mapping->Map() : nullptr;
  if (view == nullptr) return nullptr;
  memset(view, fill, mapping->Size());
  return mapping;
}

int WaitForMutex(const char* name) {
  auto mutex = NamedMutex::Open(name);
  printf("%u\n", GetLastError());
  fflush(stdout);
  if (mutex == nullptr) return 1;
  unsigned milliseconds;
  while (scanf("%u", &milliseconds) == 1) {
    WaitResult result = mutex->Wait(milliseconds);
    if (result == WaitResult::kAcquired || result == WaitResult::kAbandoned) mutex->Release();
    printf("%d\n", static_cast<int>(result));
    fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "wait") return WaitForMutex(argv[2]);
  if (argc < 4) return 2;
  std::string command = argv[1];
  size_t size = argc > 4 ? strtoul(argv[4], nullptr, 10) : 4096;
  int fill = argc > 5 ? atoi(argv[5]) : 0;
  std::shared_ptr<void> object = CreateObject(argv[2], argv[3], size, fill);
  uint32_t error = GetLastError();
  if (object == nullptr) return 1;
  if (command == "create") {
    printf("%u\n", error);
    return 0;
  }
  printf("%u %u\n", error, CurrentThreadId());
  fflush(stdout);
  while (getchar() != EOF) {
  }
  return 0;
}
