// Waiting for change on Windows. WaitOnAddress does not reach other
// processes, so a word is watched by looking at it every two milliseconds;
// a file by a change notification on its directory, which names no file, so
// any file of the directory counts.
#include <stdexcept>
#include <string>

#include "platform/Platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace storage::platform {

// Only sleeps a little: the caller looks at the word again, and the word's
// memory may go while a thread sleeps here.
void WaitOnWord(uint32_t*, uint32_t, uint32_t milliseconds) { Sleep(milliseconds < 2 ? milliseconds : 2); }

void WakeWordWaiters(uint32_t*) {}

WakeEvent::WakeEvent() : handle_(reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {
  if (handle_ == 0) throw std::runtime_error("CreateEvent failed");
}

WakeEvent::~WakeEvent() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

void WakeEvent::Signal() { SetEvent(reinterpret_cast<HANDLE>(handle_)); }

void WakeEvent::Clear() { ResetEvent(reinterpret_cast<HANDLE>(handle_)); }

FileChangeWatch::FileChangeWatch(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  name_ = slash == std::string::npos ? path : path.substr(slash + 1);
  HANDLE change = FindFirstChangeNotificationA(
      directory.c_str(), FALSE,
      FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE);
  if (change == INVALID_HANDLE_VALUE) throw std::runtime_error("no change notification on " + directory);
  handle_ = reinterpret_cast<intptr_t>(change);
}

FileChangeWatch::~FileChangeWatch() { FindCloseChangeNotification(reinterpret_cast<HANDLE>(handle_)); }

bool FileChangeWatch::Wait(uint32_t milliseconds) {
  const HANDLE change = reinterpret_cast<HANDLE>(handle_);
  if (WaitForSingleObject(change, milliseconds) != WAIT_OBJECT_0) return false;
  FindNextChangeNotification(change);
  return true;
}

}  // namespace storage::platform
