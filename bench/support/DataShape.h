// The data every suite works on, so that backends and peers are compared on
// the same shape: 16-byte key names, 100-byte string values (as in LMDB's and
// LevelDB's published microbenchmarks), keys grouped in named sections.
#ifndef SETTINGSTORE_BENCH_SUPPORT_DATASHAPE_H
#define SETTINGSTORE_BENCH_SUPPORT_DATASHAPE_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Platform.h"

namespace bench {

constexpr unsigned kKeyNameLength = 16;
// Bytes stored per value: 99 characters and the terminating NUL.
constexpr unsigned kValueSize = 100;

// "key-000000000042": 16 characters.
inline std::string KeyName(int index) {
  char name[kKeyNameLength + 1];
  std::snprintf(name, sizeof name, "key-%012d", index);
  return name;
}

inline std::vector<std::string> KeyNames(int count) {
  std::vector<std::string> names;
  names.reserve(count);
  for (int i = 0; i < count; ++i) names.push_back(KeyName(i));
  return names;
}

inline std::string SectionName(int index) { return "section-" + std::to_string(index); }

// The value of a key in a given version: the version leads, so that a reader
// in another process can tell a new value from an old one by its first bytes.
// Always kValueSize bytes with the terminator.
inline std::string Value(int key, int64_t version = 0) {
  char head[48];
  const int length =
      std::snprintf(head, sizeof head, "v%012lld k%08d ", static_cast<long long>(version), key);
  std::string value(head, static_cast<size_t>(length));
  value.resize(kValueSize - 1, 'x');
  return value;
}

// The version a value carries, or -1 when it does not look like one.
inline int64_t VersionOf(const char* value) {
  long long version = -1;
  return std::sscanf(value, "v%12lld", &version) == 1 ? version : -1;
}

// Key indexes in a fixed pseudo-random order, the same for every suite; the
// length is a power of two so that a loop wraps with a mask.
class RandomOrder {
 public:
  static constexpr size_t kLength = 4096;

  explicit RandomOrder(int keys) : indexes_(kLength) {
    std::minstd_rand random(42);
    std::uniform_int_distribution<int> pick(0, keys - 1);
    for (int& index : indexes_) index = pick(random);
  }
  int operator[](size_t position) const { return indexes_[position & (kLength - 1)]; }

 private:
  std::vector<int> indexes_;
};

// A directory of one benchmark, removed with its contents at the end. On
// tmpfs when the machine has one, so that no store pays for a disk sync that
// another does not.
class BenchDirectory {
 public:
  explicit BenchDirectory(const char* purpose, bool onDisk = false) {
    static int counter = 0;
    std::filesystem::path base = std::filesystem::temp_directory_path();
    if (!onDisk && std::filesystem::is_directory("/dev/shm")) base = "/dev/shm";
    path_ = base / ("settingstore-bench-" + std::string(purpose) + "-" +
                    std::to_string(storage::platform::CurrentProcessId()) + "-" + std::to_string(++counter));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~BenchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  BenchDirectory(const BenchDirectory&) = delete;
  BenchDirectory& operator=(const BenchDirectory&) = delete;

  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace bench

#endif  // SETTINGSTORE_BENCH_SUPPORT_DATASHAPE_H
