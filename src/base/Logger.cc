#include "base/Logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "base/Messages.h"
#include "platform/Platform.h"

namespace storage::logger {

namespace {

void WriteToStandardError(Level level, const char* message) {
  std::fprintf(stderr, messages::base::kLogLine, messages::base::kLevelNames[level], message);
}

std::atomic<Sink> g_sink{&WriteToStandardError};
std::atomic<int32_t> g_level{LEVEL_ERROR};

void Write(Level level, const char* format, va_list args) {
  if (!Enabled(level)) return;
  char buffer[1024];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  g_sink.load(std::memory_order_acquire)(level, buffer);
}

}  // namespace

void SetSink(Sink sink) { g_sink.store(sink ? sink : &WriteToStandardError, std::memory_order_release); }
void SetLevel(Level level) { g_level.store(level, std::memory_order_relaxed); }
bool Enabled(Level level) { return level <= g_level.load(std::memory_order_relaxed); }

#define STORAGE_LOG_FUNCTION(name, level) \
  void name(const char* format, ...) {    \
    va_list args;                         \
    va_start(args, format);               \
    Write(level, format, args);           \
    va_end(args);                         \
  }

STORAGE_LOG_FUNCTION(Error, LEVEL_ERROR)
STORAGE_LOG_FUNCTION(Info, LEVEL_INFO)
STORAGE_LOG_FUNCTION(Debug, LEVEL_DEBUG)

namespace {

// The platform layer cannot include the logger; it writes through this
// callback, installed when the library loads.
void FromPlatform(platform::LogLevel level, const char* text) {
  if (level == platform::LogLevel::kError) {
    Error("%s", text);
  } else {
    Debug("%s", text);
  }
}

[[maybe_unused]] const bool g_platform_reports = (platform::SetLogCallback(&FromPlatform), true);

}  // namespace

}  // namespace storage::logger
