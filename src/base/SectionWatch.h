// The watch of every backend: it sleeps on its storage's change count and,
// once the count moved, looks at what the section holds now, so that changes
// elsewhere in the storage wake it but are not reported.
#ifndef SETTINGSTORE_BASE_SECTIONWATCH_H
#define SETTINGSTORE_BASE_SECTIONWATCH_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "base/ChangeHub.h"
#include "base/RefCounted.h"
#include "platform/Platform.h"
#include "storage/watch.h"

namespace storage {

// A section whose storage can be watched.
class WatchableSection {
 public:
  // A new watch, with one reference for the caller.
  virtual ISectionWatch* Watch(bool subtree) = 0;

 protected:
  ~WatchableSection() = default;
};

class SectionWatch : public ISectionWatch, public RefCounted {
 public:
  // Holds a reference to the section and attaches to the hub.
  SectionWatch(IStorageSection* section, std::shared_ptr<ChangeHub> hub, bool subtree);

  WatchResult Wait(unsigned milliseconds) override;
  WatchHandle GetHandle() override;

 private:
  ~SectionWatch() override;

  // A digest of the names, types and values under the watch; none when the
  // section itself can no longer be read.
  std::optional<uint64_t> Look();
  // Keeps the handle signalled while the count moves.
  void Signal(uint32_t from);

  Ref<IStorageSection> section_;
  const std::shared_ptr<ChangeHub> hub_;
  const bool subtree_;

  std::mutex mutex_;  // one Wait, or GetHandle, at a time
  uint32_t seenChanges_;
  uint32_t seenReplacements_;
  std::optional<uint64_t> seenContent_;
  uint64_t lastLookMs_ = 0;
  uint64_t lookCostMs_ = 0;

  std::unique_ptr<platform::WakeEvent> event_;
  std::atomic<bool> stopSignalling_{false};
  std::thread signaller_;
};

}  // namespace storage

#endif  // SETTINGSTORE_BASE_SECTIONWATCH_H
