// Named manual-reset events on Win32: kernel event objects.
#include "platform/Platform.h"
#include "platform/win32/Win32Error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace storage::platform {

namespace {

class Win32NamedEvent final : public NamedEvent {
 public:
  explicit Win32NamedEvent(HANDLE event) : event_(event) {}
  ~Win32NamedEvent() override { ::CloseHandle(event_); }

  bool Wait(uint32_t milliseconds) override { return ::WaitForSingleObject(event_, milliseconds) == WAIT_OBJECT_0; }

  void Set() override { ::SetEvent(event_); }

 private:
  const HANDLE event_;
};

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::Create(const char* name) {
  // A null or empty name would make an unnamed event that nobody else can open.
  if (name == nullptr || *name == '\0') {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, name);
  if (event == nullptr) {
    win32::FailFromSystem();
    return nullptr;
  }
  SetLastError(::GetLastError() == ERROR_ALREADY_EXISTS ? kErrorAlreadyExists : kErrorSuccess);
  return std::make_unique<Win32NamedEvent>(event);
}

}  // namespace storage::platform
