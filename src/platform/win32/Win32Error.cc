// Translation of Win32 error codes into the layer's numbers.
#include "platform/win32/Win32Error.h"

#include "platform/Platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace storage::platform::win32 {

uint32_t ErrorFromWin32(unsigned long error) {
  switch (error) {
    case ERROR_SUCCESS:
      return kErrorSuccess;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return kErrorFileNotFound;
    case ERROR_ACCESS_DENIED:
      return kErrorAccessDenied;
    case ERROR_INVALID_HANDLE:
      return kErrorInvalidHandle;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
      return kErrorNotEnoughMemory;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return kErrorAlreadyExists;
    case ERROR_SHARING_VIOLATION:
      return kErrorSharingViolation;
    case ERROR_NOT_OWNER:
      return kErrorNotOwner;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
      return kErrorInvalidParameter;
    default:
      return kErrorGenFailure;
  }
}

bool FailFromSystem() {
  SetLastError(ErrorFromWin32(::GetLastError()));
  return false;
}

std::string ErrorText(unsigned long error) {
  char* buffer = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
      0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length > 0 && buffer != nullptr ? std::string(buffer, length) : "error " + std::to_string(error);
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace storage::platform::win32
