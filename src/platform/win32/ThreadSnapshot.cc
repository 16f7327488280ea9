// Which process a thread belongs to, from a Toolhelp snapshot of every thread
// of the system.
#include <stdexcept>

#include "platform/Messages.h"
#include "platform/Platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>

namespace storage::platform {

std::optional<uint32_t> ThreadOwnerProcess(uint32_t threadId) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) throw std::runtime_error(messages::platform::kNoSnapshot);
  std::optional<uint32_t> owner;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32ThreadID == threadId) {
      owner = static_cast<uint32_t>(entry.th32OwnerProcessID);
      break;
    }
    entry.dwSize = sizeof entry;
  }
  ::CloseHandle(snapshot);
  return owner;
}

}  // namespace storage::platform
