// The helper process of the named-object tests. Usage:
//   <mutex|event|mapping> <name>
//       creates the object (the mutex owned, the event set, the mapping filled
//       with ones), prints "<last error> <thread id>", then holds it until its
//       input closes;
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/Platform.h"

using namespace storage::platform;

int main(int argc, char** argv) {
  const std::string kind = argc > 2 ? argv[1] : "";
  std::shared_ptr<void> object;
  if (kind == "mutex") {
    object = NamedMutex::Create(argv[2], true);
  } else if (kind == "event") {
    std::shared_ptr<NamedEvent> event = NamedEvent::Create(argv[2]);
    if (event != nullptr) event->Set();
    object = event;
  } else if (kind == "mapping") {
    std::shared_ptr<NamedMapping> mapping = NamedMapping::Create(argv[2], 4096);
    if (mapping != nullptr && mapping->Map() != nullptr) memset(mapping->Map(), 1, mapping->Size());
    object = mapping;
  }
  const uint32_t error = GetLastError();
  if (object == nullptr) return 1;
  printf("%u %u\n", error, CurrentThreadId());
  fflush(stdout);
  while (getchar() != EOF) {
  }
  return 0;
}
