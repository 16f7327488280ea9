#include "shm/HiveSaveBatch.h"

#include <atomic>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Logger.h"
#include "base/NamedSync.h"
#include "base/Path.h"
#include "base/PathUtils.h"
#include "base/ThreadLocal.h"
#include "platform/Platform.h"
#include "shm/Messages.h"

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

// The calling thread's batch.
OpenBatch& Batch() { return utils::ThreadLocal<OpenBatch>(); }

std::string DirectoryOf(const std::string& file) {
  const std::string directory = utils::path::GetDir(file);
  return directory.empty() ? "." : directory;
}

std::string NameOf(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// Pairs of NUL-terminated names, temporary and file, all in `directory`;
// empty when a file lies elsewhere.
std::string ManifestText(const std::vector<PendingFile>& files, const std::string& directory) {
  std::string text;
  for (const PendingFile& pending : files) {
    if (DirectoryOf(pending.file) != directory || DirectoryOf(pending.temporary) != directory) return {};
    text.append(NameOf(pending.temporary)).push_back('\0');
    text.append(NameOf(pending.file)).push_back('\0');
  }
  return text;
}

// A hive file's name: "<prefix><three digits>d.dm2", the prefix a plain name.
bool IsHiveFileName(std::string_view name) {
  constexpr std::string_view kSuffix = "d.dm2";
  constexpr size_t kDigits = 3;
  if (name.size() <= kSuffix.size() + kDigits || !name.ends_with(kSuffix)) return false;
  const std::string_view digits = name.substr(name.size() - kSuffix.size() - kDigits, kDigits);
  if (digits.find_first_not_of("0123456789") != std::string_view::npos) return false;
  const std::string_view prefix = name.substr(0, name.size() - kSuffix.size() - kDigits);
  return prefix.find_first_of("/\\") == std::string_view::npos && prefix != "." && prefix != "..";
}

// "<file>.tmp.<pid>.<n>" of a hive file.
bool IsTemporaryOf(std::string_view temporary, std::string_view file) {
  if (!temporary.starts_with(file) || !temporary.substr(file.size()).starts_with(kTemporaryInfix))
    return false;
  const std::string_view rest = temporary.substr(file.size() + kTemporaryInfix.size());
  const size_t dot = rest.find('.');
  return dot != 0 && dot != std::string_view::npos && dot + 1 < rest.size() &&
         rest.find_first_not_of("0123456789.") == std::string_view::npos &&
         rest.find('.', dot + 1) == std::string_view::npos;
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
    logger::Debug(messages::shm::kSharedFileWritten, pending.file.c_str());
    return true;
  }
  logger::Error(messages::shm::kSharedFileNotWritten, pending.file.c_str());
  return false;
}

void Discard(const std::vector<PendingFile>& files) {
  for (const PendingFile& pending : files) {
    platform::RemoveFile(pending.temporary.c_str());
    logger::Error(messages::shm::kSharedFileNotWritten, pending.file.c_str());
  }
}

// One file needs no manifest: its rename is the commit point. False when a
// file could not be replaced.
bool Commit(const std::vector<PendingFile>& files) {
  if (files.size() == 1) return CommitOne(files.front());
  const std::string directory = DirectoryOf(files.front().file);
  const std::string manifest = NewManifestPath(directory);
  const std::string text = ManifestText(files, directory);
  const std::string modeReference = HiveSaveBatch::MainHiveFile(files.front().file);
  // Without the commit point the set keeps its previous save, whole.
  if (text.empty() ||
      !platform::ReplaceFileAtomically(manifest.c_str(), text.data(), text.size(), modeReference.c_str())) {
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
  OpenBatch& batch = Batch();
  if (batch.depth++ == 0) batch.saved = saved;
}

HiveSaveBatch::~HiveSaveBatch() {
  OpenBatch& batch = Batch();
  if (--batch.depth > 0) return;
  std::vector<PendingFile> files = std::move(batch.files);
  batch.files.clear();
  bool saved = !std::exchange(batch.failed, false);
  try {
    if (!files.empty()) saved = Commit(files) && saved;
  } catch (...) {
    // Only memory can run out here; the files keep their previous save.
    logger::Error(messages::shm::kHiveFilesNotCommitted);
    saved = false;
  }
  for (PendingFile& pending : files) pending.mutex->Unlock();
  if (bool* result = std::exchange(batch.saved, nullptr)) *result = saved;
}

bool HiveSaveBatch::IsOpen() { return Batch().depth > 0; }

void HiveSaveBatch::Add(std::unique_ptr<Mutex> lockedMutex, std::string temporary, std::string file) {
  Batch().files.push_back(PendingFile{std::move(lockedMutex), std::move(temporary), std::move(file)});
}

void HiveSaveBatch::AddFailure() { Batch().failed = true; }

void HiveSaveBatch::Recover(const std::string& file) {
  const std::string directory = DirectoryOf(file);
  const std::string fileName = NameOf(file);
  for (const std::string& entry : platform::ListDirectory(directory.c_str())) {
    if (entry.compare(0, kManifestPrefix.size(), kManifestPrefix) != 0) continue;
    const std::string manifest = utils::Join(directory, entry);
    if (entry.find(kTemporaryInfix) != std::string::npos) {
      if (IsStaleManifestTemporary(entry)) platform::RemoveFile(manifest.c_str());
      continue;
    }
    // Another user's list, or a link, may name any file this process can
    // write: only our own lists are followed.
    std::string text;
    if (!platform::ReadStorageFile(manifest.c_str(), &text)) {
      logger::Error(messages::shm::kSaveListForeign, manifest.c_str());
      continue;
    }
    auto pairs = ManifestPairs(text);
    // Lists of earlier versions held whole paths: those beside the list read
    // as their names, anything elsewhere stays a path and is refused below.
    for (auto& [temporary, target] : pairs) {
      for (std::string* name : {&temporary, &target}) {
        if (DirectoryOf(*name) == directory) *name = NameOf(*name);
      }
    }
    bool namesFile = false;
    bool plain = !pairs.empty();
    for (const auto& [temporary, target] : pairs) {
      namesFile = namesFile || target == fileName;
      plain = plain && IsHiveFileName(target) && IsTemporaryOf(temporary, target);
    }
    // A manifest that does not name this file belongs to a set whose files
    // are not locked here; their own loads finish it.
    if (!namesFile) continue;
    if (!plain) {
      logger::Error(messages::shm::kSaveListStrayNames, manifest.c_str());
      continue;
    }
    logger::Info(messages::shm::kCompletingSave, file.c_str());
    for (const auto& [temporary, target] : pairs) {
      const std::string temporaryPath = utils::Join(directory, temporary);
      const std::string targetPath = utils::Join(directory, target);
      if (platform::PathExists(temporaryPath.c_str()) &&
          !platform::CommitTemporaryFile(temporaryPath, targetPath.c_str())) {
        logger::Error(messages::shm::kSaveNotCompleted, targetPath.c_str());
      }
    }
    platform::RemoveFile(manifest.c_str());
  }
}

std::string HiveSaveBatch::MainHiveFile(const std::string& file) {
  return utils::Join(DirectoryOf(file), ".storage000d.dm2");
}

}  // namespace storage
