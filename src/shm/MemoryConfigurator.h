// What a page manager needs from its client: the names of its shared objects
// and a call once its hives are loaded. Each client builds a short-lived
// configurator on its constructor's stack and hands it to Initialize.
#ifndef SETTINGSTORE_SHAREDSTORAGE_MEMORYCONFIGURATOR_H
#define SETTINGSTORE_SHAREDSTORAGE_MEMORYCONFIGURATOR_H

#include <string>

namespace storage {

class IMemoryConfigurator {
 public:
  // The name prefix of the page manager's shared segments.
  virtual std::string getName() = 0;
  // The file prefix (directory included) of its hive files; empty keeps the
  // hives in shared memory only.
  virtual std::string getPath() = 0;
  // Called once the hives are loaded, while the first hive's creation lock is
  // still held: what the client does here runs in one process at a time.
  virtual void onMemManagerInitialized() = 0;
  virtual ~IMemoryConfigurator() = default;
};

// Holds the two prefixes; a null pointer stands for an empty string.
class AMemoryConfigurator : public IMemoryConfigurator {
 public:
  AMemoryConfigurator(const char* name, const char* path)
      : name_(name ? name : ""), path_(path ? path : "") {}

  std::string getName() override { return name_; }
  std::string getPath() override { return path_; }
  void onMemManagerInitialized() override {}

 private:
  std::string name_;
  std::string path_;
};

// Forwards onMemManagerInitialized to its target, which it does not own.
template <class T>
class TMemoryConfigurator : public AMemoryConfigurator {
 public:
  TMemoryConfigurator(T* target, const char* name, const char* path)
      : AMemoryConfigurator(name, path), target_(target) {}

  void onMemManagerInitialized() override { target_->onMemManagerInitialized(); }

 private:
  T* target_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDSTORAGE_MEMORYCONFIGURATOR_H
