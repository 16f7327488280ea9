// A directory of its own for one test, removed with everything in it at the end.
#ifndef SETTINGSTORE_TESTS_SUPPORT_TEMPDIRECTORY_H
#define SETTINGSTORE_TESTS_SUPPORT_TEMPDIRECTORY_H

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

namespace settingstore::test {

class TempDirectory {
 public:
  TempDirectory() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("settingstore-test-" + std::to_string(stamp) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(path_);
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // In the system's separators, as the library writes paths in its messages.
  std::string File(const std::string& name) const { return (path_ / name).make_preferred().string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SUPPORT_TEMPDIRECTORY_H
