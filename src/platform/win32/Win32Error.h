// Win32 error codes translated into the layer's numbers; only for the files of
// src/platform/win32/, which include <windows.h> themselves.
#ifndef SETTINGSTORE_PLATFORM_WIN32_WIN32ERROR_H
#define SETTINGSTORE_PLATFORM_WIN32_WIN32ERROR_H

#include <cstdint>
#include <string>

namespace storage::platform::win32 {

// The layer's number for a Win32 error code (31 for any it does not name).
uint32_t ErrorFromWin32(unsigned long error);

// Sets the layer's last error from ::GetLastError() and returns false.
bool FailFromSystem();

// The system's words for a Win32 error code, without the trailing line break.
std::string ErrorText(unsigned long error);

}  // namespace storage::platform::win32

#endif  // SETTINGSTORE_PLATFORM_WIN32_WIN32ERROR_H
