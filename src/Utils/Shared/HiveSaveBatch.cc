#include "Utils/Shared/HiveSaveBatch.h"

#include <atomic>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "Utils/PathUtils.h"
#include "framework/Logger.h"
#include "framework/NamedSync.h"
#include "framework/Path.h"
#include "platform/Platform.h"

namespace storage {

namespace {

constexpr std::string_view kManifestPrefix = ".hivesave.";
constexpr std::string_view kTemporaryInfix = ".tmp.";

struct PendingFile {
  std::unique_ptr<Mutex> mutex;
  std::string temporary;
  std::string file;
};

struct OpenBatch {
  int depth = 0;
  std::vector<PendingFile> files;
  // Whether a file of the batch could not be saved, and who wants to know.
  bool failed = false;
  bool* saved = nullptr;
};

thread_local OpenBatch openBatch;

std::string DirectoryOf(const std::string& file) {
  const std::string directory = utils::path::getDir(file);
  return directory.empty() ? "." : directory;
}

// Pairs of NUL-terminated paths: temporary, file.
std::string ManifestText(const std::vector<PendingFile>& files) {
  std::string text;
  for (const PendingFile& pending : files) {
    text.append(pending.temporary).push_back('\0');
    text.append(pending.file).push_back('\0');
  }
  return text;
}

std::vector<std::pair<std::string, std::string>> ManifestPairs(const std::string& text) {
  std::vector<std::string> paths;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\0', start);
    if (end == std::string::npos) break;
    paths.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  for (size_t i = 0; i + 1 < paths.size(); i += 2) pairs.emplace_back(paths[i], paths[i + 1]);
  return pairs;
}

std::string NewManifestPath(const std::string& directory) {
  static std::atomic<unsigned> counter{0};
  return utils::Join(directory, std::string(kManifestPrefix) + std::to_string(platform::CurrentProcessId()) +
                                    "." + std::to_string(counter++));
}

bool CommitOne(const PendingFile& pending) {
  if (platform::CommitTemporaryFile(pending.temporary, pending.file.c_str())) {
    logger::debug("Shared file written (%s)", pending.file.c_str());
    return true;
  }
  logger::error("Unable to write to shared file - %s", pending.file.c_str());
  return false;
}

void Discard(const std::vector<PendingFile>& files) {
  for (const PendingFile& pending : files) {
    platform::RemoveFile(pending.temporary.c_str());
    logger::error("Unable to write to shared file - %s", pending.file.c_str());
  }
}

// One file needs no manifest: its rename is the commit point. False when a
// file could not be replaced.
bool Commit(const std::vector<PendingFile>& files) {
  if (files.size() == 1) return CommitOne(files.front());
  const std::string manifest = NewManifestPath(DirectoryOf(files.front().file));
  const std::string text = ManifestText(files);
  // Without the commit point the set keeps its previous save, whole.
  if (!platform::ReplaceFileAtomically(manifest.c_str(), text.data(), text.size())) {
    Discard(files);
    return false;
  }
  bool committed = true;
  for (const PendingFile& pending : files) committed = CommitOne(pending) && committed;
  platform::RemoveFile(manifest.c_str());
  return committed;
}

// A manifest's temporary that a killed writer left, with the writer gone.
bool IsStaleManifestTemporary(const std::string& entry) {
  const size_t infix = entry.find(kTemporaryInfix);
  if (infix == std::string::npos) return false;
  const unsigned long writer = std::strtoul(entry.c_str() + infix + kTemporaryInfix.size(), nullptr, 10);
  return writer != 0 && !platform::ProcessAlive(static_cast<uint32_t>(writer));
}

}  // namespace

HiveSaveBatch::HiveSaveBatch(bool* saved) {
  if (openBatch.depth++ == 0) openBatch.saved = saved;
}

HiveSaveBatch::~HiveSaveBatch() {
  if (--openBatch.depth > 0) return;
  std::vector<PendingFile> files = std::move(openBatch.files);
  openBatch.files.clear();
  bool saved = !std::exchange(openBatch.failed, false);
  try {
    if (!files.empty()) saved = Commit(files) && saved;
  } catch (...) {
    // Only memory can run out here; the files keep their previous save.
    logger::error("Unable to commit the hive files");
    saved = false;
  }
  for (PendingFile& pending : files) pending.mutex->Unlock();
  if (bool* result = std::exchange(openBatch.saved, nullptr)) *result = saved;
}

bool HiveSaveBatch::IsOpen() { return openBatch.depth > 0; }

void HiveSaveBatch::Add(std::unique_ptr<Mutex> lockedMutex, std::string temporary, std::string file) {
  openBatch.files.push_back(PendingFile{std::move(lockedMutex), std::move(temporary), std::move(file)});
}

void HiveSaveBatch::AddFailure() { openBatch.failed = true; }

void HiveSaveBatch::Recover(const std::string& file) {
  const std::string directory = DirectoryOf(file);
  for (const std::string& entry : platform::ListDirectory(directory.c_str())) {
    if (entry.compare(0, kManifestPrefix.size(), kManifestPrefix) != 0) continue;
    const std::string manifest = utils::Join(directory, entry);
    if (entry.find(kTemporaryInfix) != std::string::npos) {
      if (IsStaleManifestTemporary(entry)) platform::RemoveFile(manifest.c_str());
      continue;
    }
    const auto pairs = ManifestPairs(utils::ReadWholeFile(manifest));
    bool namesFile = false;
    for (const auto& pair : pairs) namesFile = namesFile || pair.second == file;
    // A manifest that does not name this file belongs to a set whose files
    // are not locked here; their own loads finish it.
    if (!namesFile) continue;
    logger::info("Completing the save of %s", file.c_str());
    for (const auto& [temporary, target] : pairs) {
      if (platform::PathExists(temporary.c_str())) platform::CommitTemporaryFile(temporary, target.c_str());
    }
    platform::RemoveFile(manifest.c_str());
  }
}

}  // namespace storage
