// The shared mapping through which the owner lock tests and their helper
// processes meet. The test creates it and constructs the area in it.
#ifndef SETTINGSTORE_TESTS_SHM_HELPER_OWNERLOCKAREA_H
#define SETTINGSTORE_TESTS_SHM_HELPER_OWNERLOCKAREA_H

#include <atomic>
#include <cstdint>

#include "shm/OwnerLock.h"

struct OwnerLockArea {
  static constexpr uint32_t kMaxThreads = 64;
  storage::owner::OwnerLock lock;
  uint32_t counter = 0;        // plain on purpose: only ever changed under the lock
  uint32_t holder = 0;         // "owner-hold": its thread id, once it holds the lock
  uint32_t taker_waiting = 0;  // "owner-take": set just before it starts waiting
  uint64_t taken_at_ms = 0;    // "owner-take": the monotonic clock when it got the lock
  uint32_t thread_count = 0;   // every helper thread that touched the lock writes its id here
  uint32_t thread_ids[kMaxThreads] = {};

  void AddThread(uint32_t threadId) {
    const uint32_t index = std::atomic_ref<uint32_t>(thread_count).fetch_add(1);
    if (index < kMaxThreads) std::atomic_ref<uint32_t>(thread_ids[index]).store(threadId);
  }
};

#endif  // SETTINGSTORE_TESTS_SHM_HELPER_OWNERLOCKAREA_H
