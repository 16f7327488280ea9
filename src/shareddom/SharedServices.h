// The shared DOM's services in this process for the life of its storage: the
// node factory, the string table, the access controller and the SIDs of the
// strings the tree itself uses. The bring-up starts them, the tear-down stops
// them; only one set exists in a process at a time, and this is where that
// rule is kept.
#ifndef SETTINGSTORE_SHAREDDOM_SHAREDSERVICES_H
#define SETTINGSTORE_SHAREDDOM_SHAREDSERVICES_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/ChangeHub.h"
#include "shareddom/MemAccessController.h"
#include "shareddom/NodeFactory.h"
#include "shareddom/StringFactory.h"

namespace storage {

// The SID of each well-known string, or kNoSid when the table gave none.
struct WellKnownSids {
  static constexpr uint32_t kNoSid = 0xFFFFFFFF;

  uint32_t section = kNoSid;
  uint32_t key = kNoSid;
  uint32_t name = kNoSid;
  uint32_t size = kNoSid;
  uint32_t type = kNoSid;
  uint32_t four = kNoSid;
  uint32_t integer = kNoSid;
  uint32_t string = kNoSid;
  uint32_t binary = kNoSid;
  uint32_t value = kNoSid;
  uint32_t multivalue = kNoSid;
  uint32_t unknown = kNoSid;
  uint32_t zero = kNoSid;
};

class SharedServices {
 public:
  // Where the services keep their shared memory and files.
  struct Names {
    const char* nodeNamePrefix;
    const char* nodeFilePrefix;
    const char* stringNamePrefix;
    const char* stringFilePath;
    const char* accessName;
  };

  // Brings up, in this order, the node factory (which loads or creates the
  // tree), the string table and the access controller, then registers the
  // well-known strings, each keeping one extra reference for the life of the
  // storage. Refused (AssertException) while the process has services up.
  // A failure tears down whatever this call had built, so it may be retried.
  static SharedServices& Start(const Names& names);
  // Destroys the access controller, the string table and the node factory,
  // in that order; does nothing when none are up. False when this was the
  // last process and the hive files it had to save could not be written.
  static bool Stop();

  // The process's services, or null while there are none: published once
  // complete, so every other thread reads them through this one pointer.
  static SharedServices* Current() { return current_.load(std::memory_order_acquire); }
  // The same, for callers that cannot run without them (AssertException).
  static SharedServices& Required() {
    SharedServices* services = Current();
    if (services == nullptr) NotUp();
    return *services;
  }

  NodeFactory& Nodes() { return *nodes_; }
  StringFactory& Strings() { return *strings_; }
  MemAccessController& Access() { return *access_; }
  // Counts the tree's changes for the watches of every process.
  const std::shared_ptr<ChangeHub>& Changes() const { return changes_; }
  const WellKnownSids& Sids() const { return sids_; }

  // Records that the tree (and with it the strings it holds) changes, so that
  // the last process to leave saves the hive files; before every change.
  void NoteChange();

  SharedServices(const SharedServices&) = delete;
  SharedServices& operator=(const SharedServices&) = delete;

 private:
  explicit SharedServices(const Names& names);
  ~SharedServices();
  [[noreturn]] static void NotUp();
  void RegisterWellKnownStrings();
  // The access controller's release callback; the context is the services.
  static void OnNodeReleased(const InitMemAddress& node, int kind, void* context);

  static std::atomic<SharedServices*> current_;

  std::unique_ptr<NodeFactory> nodes_;
  std::unique_ptr<StringFactory> strings_;
  std::unique_ptr<MemAccessController> access_;
  std::shared_ptr<ChangeHub> changes_;
  WellKnownSids sids_;
};

// The access controller of the process's services, or null.
inline MemAccessController* CurrentAccess() {
  SharedServices* services = SharedServices::Current();
  return services != nullptr ? &services->Access() : nullptr;
}

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_SHAREDSERVICES_H
