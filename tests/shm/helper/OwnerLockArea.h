// The shared mapping through which the owner lock tests and their helper
// processes meet. The test creates it and constructs the area in it.
#ifndef SETTINGSTORE_TESTS_SHM_HELPER_OWNERLOCKAREA_H
#define SETTINGSTORE_TESTS_SHM_HELPER_OWNERLOCKAREA_H

#include <cstdint>

#include "shm/OwnerLock.h"

struct OwnerLockArea {
  storage::owner::OwnerLock lock;
  uint32_t counter = 0;        // plain on purpose: only ever changed under the lock
  uint32_t holder = 0;         // "owner-hold": its thread id, once it holds the lock
  uint32_t taker_waiting = 0;  // "owner-take": set just before it starts waiting
};

#endif  // SETTINGSTORE_TESTS_SHM_HELPER_OWNERLOCKAREA_H
