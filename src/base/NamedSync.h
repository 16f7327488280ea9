// Named, cross-process synchronisation of the framework: a mutex and a
// manual-reset event that every process finds by name.
#ifndef SETTINGSTORE_BASE_NAMEDSYNC_H
#define SETTINGSTORE_BASE_NAMEDSYNC_H

#include <memory>
#include <string>

#include "platform/Platform.h"

namespace storage {

// A named mutex, held by one thread at a time and recursive for it. A mutex
// whose holder ended is taken over by the next Lock.
class Mutex {
 public:
  // Throws ExternalException with the platform's error when it cannot be made.
  Mutex(bool initiallyOwned, const char* name);
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock();
  void Unlock();

 private:
  std::unique_ptr<platform::NamedMutex> mutex_;
};

// Holds a named Mutex for the rest of the scope, exceptions included.
class MutexGuard {
 public:
  explicit MutexGuard(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexGuard() { mutex_.Unlock(); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  Mutex& mutex_;
};

// A named manual-reset event.
class Event {
 public:
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  virtual ~Event() = default;

  // True when the event is set within the time: 0 only polls,
  // 0xFFFFFFFF waits without end.
  bool Wait(unsigned milliseconds);
  void Set();

 protected:
  explicit Event(std::unique_ptr<platform::NamedEvent> event) : event_(std::move(event)) {}

 private:
  std::unique_ptr<platform::NamedEvent> event_;
};

// Opens the named event, creating it (not set) when no process holds it.
class EventEx : public Event {
 public:
  // Throws ExternalException with the platform's error when it cannot be made.
  explicit EventEx(const char* name);
  // Whether this construction created the event (no other process held it).
  bool Created() const { return created_; }

 private:
  bool created_ = false;
};

}  // namespace storage

#endif  // SETTINGSTORE_BASE_NAMEDSYNC_H
