// What a page manager needs from its client: the names of its shared objects
// and a call once its hives are loaded. Each client builds a short-lived
// configurator on its constructor's stack and hands it to Initialize.
#ifndef SETTINGSTORE_SHM_MEMORYCONFIGURATOR_H
#define SETTINGSTORE_SHM_MEMORYCONFIGURATOR_H

#include <string>

namespace storage {

class PageManagerClient {
 public:
  // The name prefix of the page manager's shared segments.
  virtual std::string Name() = 0;
  // The file prefix (directory included) of its hive files; empty keeps the
  // hives in shared memory only.
  virtual std::string Path() = 0;
  // Called once the hives are loaded, while the first hive's creation lock is
  // still held: what the client does here runs in one process at a time.
  virtual void OnMemManagerInitialized() = 0;
  virtual ~PageManagerClient() = default;
};

// Holds the two prefixes; a null pointer stands for an empty string.
class BasicMemoryConfigurator : public PageManagerClient {
 public:
  BasicMemoryConfigurator(const char* name, const char* path)
      : name_(name ? name : ""), path_(path ? path : "") {}

  std::string Name() override { return name_; }
  std::string Path() override { return path_; }
  void OnMemManagerInitialized() override {}

 private:
  std::string name_;
  std::string path_;
};

// Forwards onMemManagerInitialized to its target, which it does not own.
template <class T>
class MemoryConfigurator : public BasicMemoryConfigurator {
 public:
  MemoryConfigurator(T* target, const char* name, const char* path)
      : BasicMemoryConfigurator(name, path), target_(target) {}

  void OnMemManagerInitialized() override { target_->OnMemManagerInitialized(); }

 private:
  T* target_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHM_MEMORYCONFIGURATOR_H
