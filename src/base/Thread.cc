#include "base/Thread.h"

#include <system_error>
#include <thread>

#include "platform/Platform.h"

namespace threads {

bool Thread::Launch() {
  if (started_.exchange(true)) return false;
  try {
    std::thread(&Thread::Trampoline, this).detach();
  } catch (const std::system_error&) {
    started_.store(false);
    return false;
  }
  return true;
}

bool Thread::SetPriority(PriorityLevel level) {
  priority_.store(level);
  uint32_t id = thread_id_.load();
  if (id == 0) return level >= 0;
  return storage::platform::SetThreadPriority(id, level);
}

void Thread::Trampoline(Thread* self) {
  uint32_t id = storage::platform::CurrentThreadId();
  self->thread_id_.store(id);
  if (PriorityLevel level = self->priority_.load(); level != 0) storage::platform::SetThreadPriority(id, level);
  self->Run();  // may delete self: touch nothing after it
}

}  // namespace threads
