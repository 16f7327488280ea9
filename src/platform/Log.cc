#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/Platform.h"

namespace storage::platform {

namespace {

// Constant-initialized, so a line written while other statics are being
// constructed finds either nothing or the logger.
std::atomic<LogCallback> g_callback{nullptr};

}  // namespace

void SetLogCallback(LogCallback callback) { g_callback.store(callback, std::memory_order_release); }

void Log(LogLevel level, const char* format, ...) {
  LogCallback callback = g_callback.load(std::memory_order_acquire);
  if (callback == nullptr) return;
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  callback(level, buffer);
}

}  // namespace storage::platform
