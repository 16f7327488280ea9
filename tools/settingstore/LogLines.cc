#include "LogLines.h"

#include <cstdio>
#include <mutex>
#include <vector>

#include "storage/storage.h"

namespace cli {

namespace {

// The library may log from a thread of its own (the XML backup).
std::mutex g_mutex;
bool g_keeping = false;
std::vector<std::string> g_kept;
size_t g_errors = 0;

void Write(const char* message) { std::fprintf(stderr, "settingstore: %s\n", message); }

void WriteLogLine(storage::logger::Level level, const char* message) {
  std::lock_guard lock(g_mutex);
  if (level == storage::logger::LEVEL_ERROR) ++g_errors;
  if (g_keeping && level == storage::logger::LEVEL_ERROR) {
    g_kept.emplace_back(message);
  } else {
    Write(message);
  }
}

}  // namespace

void WriteLogLinesToStandardError() { storage::logger::SetSink(&WriteLogLine); }

size_t LoggedErrorCount() {
  std::lock_guard lock(g_mutex);
  return g_errors;
}

KeptLogErrors::KeptLogErrors() {
  std::lock_guard lock(g_mutex);
  g_keeping = true;
  g_kept.clear();
}

KeptLogErrors::~KeptLogErrors() {
  std::lock_guard lock(g_mutex);
  g_keeping = false;
  for (const std::string& message : g_kept) Write(message.c_str());
  g_kept.clear();
}

std::string KeptLogErrors::take() {
  std::lock_guard lock(g_mutex);
  std::string first = g_kept.empty() ? std::string() : g_kept.front();
  g_kept.clear();
  return first;
}

}  // namespace cli
