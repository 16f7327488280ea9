// Workloads across processes: how soon another process sees a write, and how
// point reads add up over several reader processes while one process writes.
// The other processes are this bench executable started again with
// "--child <role> ..." (see RunChild); they meet the parent in a small named
// mapping of control words and open the same store directory.
#ifndef SETTINGSTORE_BENCH_SUPPORT_CROSSPROCESS_H
#define SETTINGSTORE_BENCH_SUPPORT_CROSSPROCESS_H

// The tests' helper-process holder starts TEST_HELPER: here, this executable.
#define TEST_HELPER "/proc/self/exe"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "support/DataShape.h"
#include "support/HelperProcess.h"
#include "support/Workloads.h"

namespace bench {

using settingstore::test::HelperProcess;

constexpr int kMaxReaders = 8;
constexpr int kCrossKeys = 100;
constexpr const char* kCrossSection = "cross-process";

inline int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A reader's running count of reads, on a cache line of its own so that the
// readers do not slow each other down by writing it.
struct alignas(64) ReaderCount {
  int64_t reads;
  int64_t cpuNs;  // the reader's CPU time over the run, written when it stops
};

// The words parent and children share.
struct ControlWords {
  int64_t ready;        // children that have opened the store
  int64_t phase;        // kWaiting, kRunning, kStopped
  int64_t seenVersion;  // latency: the newest version the reader saw
  int64_t seenAt;       // latency: when its read returned, NowNs()
  int64_t seenTook;     // latency: how long that read took, ns
  alignas(64) int64_t writes;  // scaling: writes done so far
  ReaderCount readers[kMaxReaders];
};
enum Phase : int64_t { kWaiting = 0, kRunning = 1, kStopped = 2 };

inline int64_t LoadWord(int64_t& word) {
  return std::atomic_ref<int64_t>(word).load(std::memory_order_acquire);
}
inline void StoreWord(int64_t& word, int64_t value) {
  std::atomic_ref<int64_t>(word).store(value, std::memory_order_release);
}

// The control mapping: created by the parent, opened by name in a child.
class Control {
 public:
  Control() : name_(UniqueName()) {
    mapping_ = storage::platform::NamedMapping::Create(name_.c_str(), sizeof(ControlWords));
    Attach();
  }
  explicit Control(std::string name) : name_(std::move(name)) {
    mapping_ = storage::platform::NamedMapping::Open(name_.c_str());
    Attach();
  }
  ~Control() {
    if (mapping_) mapping_->Unmap();
  }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  const std::string& name() const { return name_; }
  ControlWords& words() { return *words_; }

 private:
  static std::string UniqueName() {
    static int counter = 0;
    return "Local\\settingstore-bench-" + std::to_string(storage::platform::CurrentProcessId()) + "-" +
           std::to_string(++counter);
  }
  void Attach() {
    if (!mapping_ || (words_ = static_cast<ControlWords*>(mapping_->Map())) == nullptr) {
      throw std::runtime_error("no control mapping " + name_);
    }
  }

  std::string name_;
  std::unique_ptr<storage::platform::NamedMapping> mapping_;
  ControlWords* words_ = nullptr;
};

// Waits until the word reaches `value`; false when `within` passed first or a
// child ended.
inline bool AwaitAtLeast(int64_t& word, int64_t value, std::vector<std::unique_ptr<HelperProcess>>& children,
                         std::chrono::milliseconds within = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (uint32_t round = 0; LoadWord(word) < value; ++round) {
    // Yielding leaves the core to the child whose progress is awaited.
    std::this_thread::yield();
    if ((round & 0x3FF) != 0) continue;
    if (std::chrono::steady_clock::now() > deadline) return false;
    for (auto& child : children) {
      if (!child->Running()) return false;
    }
  }
  return true;
}

inline std::unique_ptr<HelperProcess> StartChild(const char* role, const std::string& directory,
                                                 const Control& control, int index) {
  auto child = std::make_unique<HelperProcess>(
      std::vector<std::string>{"--child", role, directory, control.name(), std::to_string(index)});
  if (!child->Started()) throw std::runtime_error("cannot start a child process");
  return child;
}

// Stops the children and checks that each ended well.
inline bool StopChildren(ControlWords& words, std::vector<std::unique_ptr<HelperProcess>>& children) {
  StoreWord(words.phase, kStopped);
  bool allWell = true;
  for (auto& child : children) allWell = child->Wait(std::chrono::seconds(10)) == 0 && allWell;
  return allWell;
}

// From a Write returning in this process to a reader process seeing the new
// value (its read returned), in manual time; counters give the median and the
// 99th percentile, and the median time of the read that saw the value (what
// is left is the time before the reader started that read). A reader that sees
// the value before Write returned counts 0.
template <class Store>
void CrossProcessLatency(benchmark::State& state) {
  Guarded(state, [&] {
    BenchDirectory directory("latency");
    Control control;
    ControlWords& words = control.words();
    Store store(directory.path());
    auto section = store.CreateSection(kCrossSection);
    Fill(section, 0, kCrossKeys);
    std::vector<std::unique_ptr<HelperProcess>> children;
    children.push_back(StartChild("latency-reader", directory.path(), control, 0));
    if (!AwaitAtLeast(words.ready, 1, children)) return state.SkipWithError("the reader did not start");
    StoreWord(words.phase, kRunning);

    constexpr int kKey = 7;
    const std::string key = KeyName(kKey);
    std::vector<double> latencies;
    std::vector<double> seeingReads;
    int64_t version = 0;
    for (auto _ : state) {
      const std::string value = Value(kKey, ++version);
      section.Write(key, value.c_str());
      section.Flush();
      const int64_t returned = NowNs();
      if (!AwaitAtLeast(words.seenVersion, version, children)) {
        state.SkipWithError("the reader never saw the write");
        break;
      }
      const double seconds = std::max<int64_t>(0, LoadWord(words.seenAt) - returned) * 1e-9;
      latencies.push_back(seconds);
      seeingReads.push_back(LoadWord(words.seenTook) * 1e-9);
      state.SetIterationTime(seconds);
    }
    if (!StopChildren(words, children)) return state.SkipWithError("the reader failed");
    if (latencies.empty()) return;
    std::sort(latencies.begin(), latencies.end());
    state.counters["p50_us"] = latencies[latencies.size() / 2] * 1e6;
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100] * 1e6;
    std::sort(seeingReads.begin(), seeingReads.end());
    state.counters["read_p50_us"] = seeingReads[seeingReads.size() / 2] * 1e6;
  });
}

// The scaling run: kScalingWindows windows of one second each, in which the
// parent samples every reader's count; the writer pauses kWriterPause after
// each write, as a settings store is written rarely.
constexpr int kScalingWindows = 3;
constexpr auto kScalingWindow = std::chrono::seconds(1);
constexpr auto kWriterPause = std::chrono::microseconds(100);

// Aggregate point reads per second of range(0) reader processes, at random in
// a section of 100 keys, while a writer process overwrites a random key of it.
// Counters: reads and writes per second over the whole run; the lowest and
// highest share of a reader in a one-second window, as a fraction of its fair
// share (the window's reads over the reader count: 1 is fair); the readers'
// CPU time per read. `store` names the store to the child processes.
template <class Store>
void ScalingReads(benchmark::State& state, const std::string& store) {
  Guarded(state, [&] {
    const int readers = static_cast<int>(state.range(0));
    if (readers > kMaxReaders) return state.SkipWithError("too many readers");
    BenchDirectory directory("scaling");
    Control control;
    ControlWords& words = control.words();
    Store parent(directory.path());
    {
      auto section = parent.CreateSection(kCrossSection);
      Fill(section, 0, kCrossKeys);
    }
    std::vector<std::unique_ptr<HelperProcess>> children;
    children.push_back(StartChild(("scaling-writer@" + store).c_str(), directory.path(), control, 0));
    for (int i = 0; i < readers; ++i)
      children.push_back(StartChild(("scaling-reader@" + store).c_str(), directory.path(), control, i));
    if (!AwaitAtLeast(words.ready, readers + 1, children)) {
      StopChildren(words, children);
      return state.SkipWithError("the children did not start");
    }
    double seconds = 0;
    double lowestShare = 1;
    double highestShare = 1;
    for (auto _ : state) {
      std::vector<int64_t> before(readers, 0);
      const auto start = std::chrono::steady_clock::now();
      StoreWord(words.phase, kRunning);
      for (int window = 1; window <= kScalingWindows; ++window) {
        std::this_thread::sleep_until(start + window * kScalingWindow);
        std::vector<int64_t> reads(readers);
        int64_t total = 0;
        for (int i = 0; i < readers; ++i) {
          const int64_t now = LoadWord(words.readers[i].reads);
          reads[i] = now - before[i];
          before[i] = now;
          total += reads[i];
        }
        for (int i = 0; i < readers && total > 0; ++i) {
          const double share = static_cast<double>(reads[i]) * readers / total;
          lowestShare = std::min(lowestShare, share);
          highestShare = std::max(highestShare, share);
        }
      }
      StoreWord(words.phase, kStopped);
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      state.SetIterationTime(seconds);
    }
    if (!StopChildren(words, children)) return state.SkipWithError("a child failed");
    int64_t reads = 0;
    int64_t cpuNs = 0;
    for (int i = 0; i < readers; ++i) {
      reads += LoadWord(words.readers[i].reads);
      cpuNs += LoadWord(words.readers[i].cpuNs);
    }
    state.counters["reads_per_s"] = reads / seconds;
    state.counters["writes_per_s"] = LoadWord(words.writes) / seconds;
    state.counters["min_share"] = lowestShare;
    state.counters["max_share"] = highestShare;
    state.counters["cpu_ns_per_read"] = reads > 0 ? static_cast<double>(cpuNs) / reads : 0;
  });
}

// Registers the scaling run of `store` with `readers` reader processes, as
// "scaling/<store>/<readers>"; one run of a few seconds, its counters reported.
template <class Store>
void RegisterScaling(const std::string& store, int readers) {
  benchmark::RegisterBenchmark(("scaling/" + store).c_str(), ScalingReads<Store>, store)
      ->Arg(readers)
      ->UseManualTime()
      ->Iterations(1)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);
}

template <class Store>
void RegisterCrossProcessWorkloads(const std::string& store) {
  benchmark::RegisterBenchmark(("cross_process/" + store).c_str(), CrossProcessLatency<Store>)
      ->UseManualTime()
      ->Iterations(20000)
      ->Unit(benchmark::kMicrosecond);
}

// ---- The child side --------------------------------------------------------

template <class Store>
int LatencyReader(Store& store, ControlWords& words) {
  auto section = store.OpenSection(kCrossSection);
  const auto key = PreparedKeys(section, {KeyName(7)})[0];
  char buffer[kValueSize];
  std::atomic_ref<int64_t>(words.ready).fetch_add(1);
  int64_t seen = 0;
  while (LoadWord(words.phase) != kStopped) {
    const int64_t started = NowNs();
    section.Read(key, buffer);
    const int64_t at = NowNs();
    const int64_t version = VersionOf(buffer);
    if (version < 0) return 1;
    if (version > seen) {
      seen = version;
      StoreWord(words.seenAt, at);
      StoreWord(words.seenTook, at - started);
      StoreWord(words.seenVersion, version);
    }
  }
  return 0;
}

// The process's CPU time in nanoseconds (a child has one thread).
inline int64_t ProcessCpuNs() { return static_cast<int64_t>(std::clock() * (1e9 / CLOCKS_PER_SEC)); }

template <class Store>
int ScalingReader(Store& store, ControlWords& words, int index) {
  auto section = store.OpenSection(kCrossSection);
  const auto keys = PreparedKeys(section, KeyNames(kCrossKeys));
  const RandomOrder order(kCrossKeys);
  char buffer[kValueSize];
  ReaderCount& count = words.readers[index];
  std::atomic_ref<int64_t>(words.ready).fetch_add(1);
  while (LoadWord(words.phase) == kWaiting) std::this_thread::yield();
  const int64_t cpuAtStart = ProcessCpuNs();
  int64_t reads = 0;
  while (LoadWord(words.phase) == kRunning) {
    section.Read(keys[order[reads]], buffer);
    if (VersionOf(buffer) < 0) return 1;
    StoreWord(count.reads, ++reads);
  }
  StoreWord(count.cpuNs, ProcessCpuNs() - cpuAtStart);
  return 0;
}

template <class Store>
int ScalingWriter(Store& store, ControlWords& words) {
  auto section = store.OpenSection(kCrossSection);
  const std::vector<std::string> names = KeyNames(kCrossKeys);
  const RandomOrder order(kCrossKeys);
  std::atomic_ref<int64_t>(words.ready).fetch_add(1);
  while (LoadWord(words.phase) == kWaiting) std::this_thread::yield();
  int64_t writes = 0;
  while (LoadWord(words.phase) == kRunning) {
    const int key = order[writes];
    section.Write(names[key], Value(key, ++writes).c_str());
    section.Flush();
    StoreWord(words.writes, writes);
    std::this_thread::sleep_for(kWriterPause);
  }
  return 0;
}

inline bool IsChild(int argc, char** argv) { return argc == 6 && std::strcmp(argv[1], "--child") == 0; }

// The store a child's role names after '@' ("scaling-reader@lmdb"), or "".
inline std::string ChildStore(char** argv) {
  const char* at = std::strchr(argv[2], '@');
  return at == nullptr ? std::string() : std::string(at + 1);
}

// argv: <exe> --child <role>[@<store>] <directory> <control name> <index>
template <class Store>
int RunChild(char** argv) {
  try {
    const std::string role(argv[2], std::strcspn(argv[2], "@"));
    Control control(argv[4]);
    Store store(argv[3]);
    if (role == "latency-reader") return LatencyReader(store, control.words());
    if (role == "scaling-reader") return ScalingReader(store, control.words(), std::stoi(argv[5]));
    if (role == "scaling-writer") return ScalingWriter(store, control.words());
  } catch (...) {
  }
  return 2;
}

}  // namespace bench

#endif  // SETTINGSTORE_BENCH_SUPPORT_CROSSPROCESS_H
