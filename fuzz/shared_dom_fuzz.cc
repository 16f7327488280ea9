// A shared DOM storage opened from damaged hive files. A small valid storage
// is written once through the public API; each input then rewrites one of its
// two hive files (nodes or strings) and opens the storage from a fresh
// directory, walks and changes the tree and takes it down again. Every input
// must load or fail with the documented exceptions, and leave no shared object
// behind.
//
// Hive files are 1 MiB and checksummed, so an input is not a whole file but
// a list of patches over the valid one, and the checksum is set to match the
// patched payload (unless the input asks to keep it):
//
//   byte 0       flags: bit 0 picks the string hive (else the node hive);
//                bit 1 keeps the checksum word as patched; bit 2 cuts the
//                file to the length in bytes 1-3 (little endian)
//   then, repeated: offset (3 bytes, little endian, modulo the file size),
//                count (1 byte), that many bytes to write there
#include <xxhash.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>

#include "FuzzSupport.h"
#include "base/Path.h"
#include "storage/initializer.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kNodeHive = ".storage000d.dm2";
constexpr const char* kStringHive = ".storageMap000d.dm2";
constexpr size_t kHiveSize = 0x100000;
constexpr size_t kHeaderSize = 64;
constexpr size_t kChecksumOffset = 8;
// The named objects of a storage are files in directories named by this
// prefix (one per user and a global one) while it is up.
constexpr const char* kObjectDirectoryPrefix = "settingstore-";
constexpr const char* kObjectRoot = "/dev/shm";
// The work area of one fuzzing process. Every run saves its hive files, so
// the work areas live in memory where the machine has /dev/shm.
constexpr const char* kWorkAreaPrefix = "shared-dom-fuzz-";

fs::path WorkAreaRoot() {
  std::error_code error;
  return fs::is_directory(kObjectRoot, error) ? fs::path(kObjectRoot) : fs::temp_directory_path();
}

void DropMessage(storage::logger::Level, const char*) {}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  fuzz::Check(file.good(), "cannot write a hive file into the work directory");
}

uint32_t PayloadChecksum(const std::string& image) {
  return XXH32(image.data() + kHeaderSize, image.size() - kHeaderSize, 0);
}

uint32_t StoredChecksum(const std::string& image) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(image.data() + kChecksumOffset);
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void StoreChecksum(std::string& image) {
  const uint32_t sum = PayloadChecksum(image);
  for (size_t i = 0; i < 4; ++i) image[kChecksumOffset + i] = static_cast<char>(sum >> (8 * i));
}

// The work area of this process, removed at exit, and the valid hive files.
struct Templates {
  fs::path base;
  std::string nodes;
  std::string strings;
  unsigned runs = 0;
};
Templates* templates = nullptr;

void RemoveWorkArea() {
  std::error_code ignored;
  if (templates != nullptr) fs::remove_all(templates->base, ignored);
}

// A run that found a failure ends without cleaning up: work areas whose
// process is gone are removed when the next run starts.
void RemoveStaleWorkAreas() {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(WorkAreaRoot(), error)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(kWorkAreaPrefix)) continue;
    const std::string pid = name.substr(std::strlen(kWorkAreaPrefix));
    std::error_code ignored;
    if (!fs::exists(fs::path("/proc") / pid, ignored)) fs::remove_all(entry.path(), ignored);
  }
}

// Opens the storage of `directory`, walks and changes it, takes it down.
void Exercise(const std::string& directory) {
  storage::PathInitializer host(directory, "");
  storage::NoThrowStorageFactory* factory = nullptr;
  fuzz::RunDocumented([&] { factory = InitializeStorage(storage::STORAGE_SHARED_DOM, &host); });
  if (factory != nullptr) {
    {
      storage::Ref<storage::IStorageSection> root(factory->GetRoot());
      fuzz::Check(static_cast<bool>(root), "a loaded storage has no root");
      fuzz::WalkTree(root.get(), /*names_must_open=*/false);
      // Allocation and freeing over whatever the files hold.
      fuzz::RunDocumented([&] {
        storage::Ref<storage::IStorageSection> section(root->CreateSection("fuzz\\inner"));
        storage::Ref<storage::IStorageKey> key(section->CreateKey("value"));
        key->Write(storage::TYPE_STRING, "written by the fuzzer", 22);
        key.reset();
        section->DeleteKey("value");
        section.reset();
        root->DeleteSection("fuzz\\inner");
      });
    }
    factory->Dispose();
  }
  fuzz::Check(DeinitializeStorage(storage::STORAGE_SHARED_DOM) || factory == nullptr,
              "DeinitializeStorage refused a storage that was up");
}

// The named objects whose names carry the storage's path hash.
size_t ObjectsOf(const std::string& directory) {
  const std::string hash = storage::utils::GenerateUniqueHashByPath(directory);
  size_t found = 0;
  std::error_code error;
  for (const fs::directory_entry& place : fs::directory_iterator(kObjectRoot, error)) {
    if (!place.path().filename().string().starts_with(kObjectDirectoryPrefix)) continue;
    std::error_code unreadable;  // another user's directory
    for (const fs::directory_entry& entry : fs::directory_iterator(place.path(), unreadable)) {
      if (entry.path().filename().string().find(hash) != std::string::npos) ++found;
    }
  }
  return found;
}

// A small tree with every value type, a deleted key and section (freed
// blocks) and a key never written.
void WriteSampleStorage(const std::string& directory) {
  storage::PathInitializer host(directory, "");
  storage::NoThrowStorageFactory* factory = InitializeStorage(storage::STORAGE_SHARED_DOM, &host);
  {
    storage::Ref<storage::IStorageSection> root(factory->GetRoot());
    storage::Ref<storage::IStorageSection> window(root->CreateSection("Window\\Inner"));
    const int32_t width = 640;
    const unsigned char blob[] = {1, 2, 3, 4, 5};
    const char multi[] = "a\0bc\0";
    storage::Ref<storage::IStorageKey>(window->CreateKey("Title"))->Write(storage::TYPE_STRING, "main", 5);
    storage::Ref<storage::IStorageKey>(window->CreateKey("Width"))
        ->Write(storage::TYPE_INTEGER, &width, sizeof width);
    storage::Ref<storage::IStorageKey>(window->CreateKey("Blob"))->Write(storage::TYPE_BINARY, blob, 5);
    storage::Ref<storage::IStorageKey>(root->CreateKey("List"))
        ->Write(storage::TYPE_MULTI_STRING, multi, sizeof multi);
    storage::Ref<storage::IStorageKey>(root->CreateKey("Fresh"));
    storage::Ref<storage::IStorageKey>(root->CreateKey("Gone"))->Write(storage::TYPE_STRING, "x", 2);
    root->DeleteKey("Gone");
    storage::Ref<storage::IStorageSection>(root->CreateSection("Empty\\Removed"));
    root->DeleteSection("Empty\\Removed");
  }
  factory->Dispose();
  DeinitializeStorage(storage::STORAGE_SHARED_DOM);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  storage::logger::SetSink(&DropMessage);
  templates = new Templates;
  RemoveStaleWorkAreas();
  // Named by the process id, so that a later run can tell it is stale.
  templates->base = WorkAreaRoot() / (kWorkAreaPrefix + fs::read_symlink("/proc/self").string());
  fs::create_directories(templates->base / "template");
  std::atexit(&RemoveWorkArea);

  const fs::path sample = templates->base / "template";
  try {
    WriteSampleStorage(sample.string());
  } catch (...) {
    fuzz::Fault("the sample storage cannot be written through the public API");
  }
  templates->nodes = ReadFile(sample / kNodeHive);
  templates->strings = ReadFile(sample / kStringHive);
  for (const std::string* image : {&templates->nodes, &templates->strings}) {
    fuzz::Check(image->size() == kHiveSize, "the sample storage has no hive file of 1 MiB");
    // The patches below set checksums the way the library computes them.
    fuzz::Check(StoredChecksum(*image) == PayloadChecksum(*image), "the sample hive's checksum is not XXH32");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const bool strings = flags & 1;
  const bool keep_checksum = flags & 2;
  const bool cut = flags & 4;
  std::string image = strings ? templates->strings : templates->nodes;
  size_t position = 1;
  if (cut && size >= 4) {
    image.resize((data[1] | data[2] << 8 | static_cast<size_t>(data[3]) << 16) % kHiveSize);
    position = 4;
  }
  while (position + 4 <= size && !image.empty()) {
    const size_t offset =
        (data[position] | data[position + 1] << 8 | static_cast<size_t>(data[position + 2]) << 16) %
        image.size();
    const size_t count = std::min<size_t>({data[position + 3], size - position - 4, image.size() - offset});
    std::memcpy(image.data() + offset, data + position + 4, count);
    position += 4 + count;
  }
  if (!keep_checksum && image.size() > kHeaderSize) StoreChecksum(image);

  const fs::path directory = templates->base / ("run-" + std::to_string(++templates->runs));
  fs::create_directories(directory);
  WriteFile(directory / kNodeHive, strings ? templates->nodes : image);
  WriteFile(directory / kStringHive, strings ? image : templates->strings);
  Exercise(directory.string());
  fuzz::Check(ObjectsOf(directory.string()) == 0, "a shared object of the storage outlived its teardown");
  std::error_code ignored;
  fs::remove_all(directory, ignored);
  return 0;
}
