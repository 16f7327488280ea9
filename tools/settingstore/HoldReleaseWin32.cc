// `hold` on Windows: standard input ending, or a console control event, lets
// the storage go. The control handler runs on a thread of its own, so it only
// sets an event that WaitForRelease waits on beside a thread reading input.
#include <windows.h>

#include <thread>

#include "CliError.h"
#include "HoldRelease.h"

namespace cli {

namespace {

HANDLE g_released = nullptr;

BOOL WINAPI OnControl(DWORD) {
  SetEvent(g_released);
  return TRUE;  // handled: the process leaves through WaitForRelease
}

}  // namespace

HoldRelease::HoldRelease() {
  released_ = g_released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (released_ == nullptr || !SetConsoleCtrlHandler(OnControl, TRUE))
    throw CliError(kFailure, "cannot wait for console events");
}

HoldRelease::~HoldRelease() {
  SetConsoleCtrlHandler(OnControl, FALSE);
  // The reader thread may still block in ReadFile; the event stays for it.
}

void HoldRelease::WaitForRelease() {
  // A blocked ReadFile on a pipe cannot be woken portably, so the reader is
  // detached; the process ends soon after the release anyway.
  std::thread([event = released_] {
    char buffer[4096];
    DWORD count = 0;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    }
    SetEvent(event);
  }).detach();
  WaitForSingleObject(released_, INFINITE);
}

}  // namespace cli
