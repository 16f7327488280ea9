// The owner lock against the process's own mutexes: an uncontended lock and
// unlock by a thread that is registered already, and the time a waiter needs
// to take a lock over from a thread that ended while holding it.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <mutex>
#include <thread>

#include "base/ProcessValues.h"
#include "shm/OwnerLock.h"

namespace {

using storage::owner::OwnerLock;

void BM_OwnerLockUncontended(benchmark::State& state) {
  OwnerLock lock;
  const uint32_t spinCount = storage::GetSpinCount();
  // The thread's first lock registers it; that is not what is measured.
  lock.Lock(spinCount);
  lock.Unlock();
  for (auto _ : state) {
    lock.Lock(spinCount);
    lock.Unlock();
  }
}
BENCHMARK(BM_OwnerLockUncontended);

void BM_OwnerLockRecursive(benchmark::State& state) {
  OwnerLock lock;
  const uint32_t spinCount = storage::GetSpinCount();
  lock.Lock(spinCount);
  for (auto _ : state) {
    lock.Lock(spinCount);
    lock.Unlock();
  }
  lock.Unlock();
}
BENCHMARK(BM_OwnerLockRecursive);

void BM_PthreadMutexUncontended(benchmark::State& state) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  for (auto _ : state) {
    pthread_mutex_lock(&mutex);
    pthread_mutex_unlock(&mutex);
  }
  pthread_mutex_destroy(&mutex);
}
BENCHMARK(BM_PthreadMutexUncontended);

void BM_StdMutexUncontended(benchmark::State& state) {
  std::mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
}
BENCHMARK(BM_StdMutexUncontended);

// One spin phase of yields, then the liveness check of the ended holder.
void BM_OwnerLockTakeoverFromEndedThread(benchmark::State& state) {
  const uint32_t spinCount = storage::GetSpinCount();
  for (auto _ : state) {
    state.PauseTiming();
    OwnerLock lock;
    std::thread([&] { lock.Lock(spinCount); }).join();
    state.ResumeTiming();
    lock.Lock(spinCount);
    state.PauseTiming();
    lock.Unlock();
    state.ResumeTiming();
  }
}
// Few iterations: on a loaded machine each yield of the spin phase can cost a time slice.
BENCHMARK(BM_OwnerLockTakeoverFromEndedThread)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

// glibc's mutexes skip their locked instructions while a process has never
// had a second thread; a settings library serves multi-threaded hosts, so
// every mutex here is measured as it runs in one.
int main(int argc, char** argv) {
  std::thread([] {}).join();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
