#include "shareddom/ExternalStringHolder.h"

#include <cstdio>
#include <random>
#include <stdexcept>

#include "platform/Platform.h"
#include "shareddom/Messages.h"
#include "shareddom/StringHolderFactory.h"
#include "shm/HiveSaveBatch.h"

namespace storage {

namespace {

constexpr uint32_t kNameAttempts = 1000;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string Join(const std::string& directory, const std::string& name) {
  if (directory.empty() || IsSeparator(directory.back())) return directory + name;
  return directory + '/' + name;
}

}  // namespace

void ExternalStringHolder::Create(std::string_view text) {
  const uint32_t hash = StringHolderFactory::GetHash(text);
  CacheText(text);
  path_ = MakeNewFile(text);
  InitMemAddress head;
  try {
    head = StoreString(path_, kExternalHeadBlockSize);
  } catch (...) {
    platform::RemoveFile(path_.c_str());
    throw;
  }
  SetHead(head);
  WordOfHead(kHashOffset).exchange(hash);
  Publish();
}

void ExternalStringHolder::Bind(const InitMemAddress& address) {
  SetHead(address);
  const std::unique_ptr<std::string> stored = ReadChain();
  if (stored == nullptr) return;  // freed meanwhile: the holder answers as a freed one
  const size_t separator = stored->find_last_of("/\\");
  path_ = separator == std::string::npos
              ? *stored
              : Join(Factory().Owner().ExternalDirectory(), stored->substr(separator + 1));
}

void ExternalStringHolder::Free() {
  // The file stays: the hive files of the last save may still name it, and
  // a session that ends without saving goes back to them. Files no saved
  // string names go when the storage is next loaded.
  FreeShared();
}

int32_t ExternalStringHolder::Hash() {
  if (!SidMatches()) return -1;
  return static_cast<int32_t>(WordOfHead(kHashOffset).load(std::memory_order_acquire));
}

std::unique_ptr<std::string> ExternalStringHolder::ReadText() {
  auto text = std::make_unique<std::string>();
  // A text whose file is gone or refused is a value that cannot be read,
  // never an empty one.
  if (!platform::ReadStorageFile(path_.c_str(), text.get())) {
    throw ExternalFileError(messages::shareddom::kExternalFileUnreadable + path_);
  }
  return text;
}

std::string ExternalStringHolder::MakeNewFile(std::string_view text) {
  // Freed texts keep their files until the next load, so names taken in a
  // row from the clock would run into each other under many writes: start
  // each search at a random point of the name space instead.
  thread_local std::mt19937 random(std::random_device{}() ^ static_cast<uint32_t>(platform::TickCountMs()));
  const uint32_t start = static_cast<uint32_t>(random());
  const std::string& directory = Factory().Owner().ExternalDirectory();
  // The storage's main hive file lends its permissions to the texts beside it.
  const std::string modeReference = HiveSaveBatch::MainHiveFile(Join(directory, "external"));
  for (uint32_t attempt = 0; attempt < kNameAttempts; ++attempt) {
    char name[261];
    std::snprintf(name, sizeof name, "external_%x.dm2", start + attempt);
    std::string path = Join(directory, name);
    if (platform::WriteNewFile(path.c_str(), text.data(), text.size(), modeReference.c_str())) return path;
    // A name in use is tried again under the next one; anything else fails
    // every name alike.
    if (platform::GetLastError() != platform::kErrorAlreadyExists) break;
  }
  throw ExternalFileError(messages::shareddom::kNoRandomFile);
}

}  // namespace storage
