// The workloads every store runs, written once against the Store concept:
//
//   Store(const std::string& directory)   opens the store's files in the
//                                         directory, creating them if missing;
//                                         the destructor closes them, leaving
//                                         everything written on file;
//   Store::Section CreateSection(name)    the section, created if missing;
//   Store::Section OpenSection(name)      an existing section;
//   Section::Write(key, value)            creates or overwrites a key;
//   Section::Flush()                      makes pending batched writes visible;
//   Section::Read(key, buffer)            the value into kValueSize bytes;
//   Section::Enumerate()                  visits every key name, returns the count;
//   Section::Prepare(key)                 optional: the key in the form the store
//                                         reads fastest, made before a timed loop
//                                         and passed to Read instead of the name.
//
// Each workload checks what it read or wrote after the timed loop, so that a
// store that fails quietly shows up as an error instead of a fast figure.
#ifndef SETTINGSTORE_BENCH_SUPPORT_WORKLOADS_H
#define SETTINGSTORE_BENCH_SUPPORT_WORKLOADS_H

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "support/DataShape.h"

namespace bench {

// Runs a workload body; a store that throws skips the benchmark with the
// reason instead of ending the whole run.
template <class Body>
void Guarded(benchmark::State& state, Body body) {
  try {
    body();
  } catch (const storage::TechnicalException& e) {
    state.SkipWithError(e.what());
  } catch (const storage::Exception& e) {
    state.SkipWithError(("storage error " + std::to_string(e.GetErrorCode())).c_str());
  } catch (const storage::AssertException& e) {
    state.SkipWithError(e.What().c_str());
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

// A store may keep its directory on disk (static constexpr bool kOnDisk =
// true) to show what its syncs cost there; the others live on tmpfs.
template <class Store>
constexpr bool OnDisk() {
  if constexpr (requires { Store::kOnDisk; }) {
    return Store::kOnDisk;
  } else {
    return false;
  }
}

// Writes Value(i) under KeyName(i) for i in [first, first + count).
template <class Section>
void Fill(Section& section, int first, int count) {
  for (int i = first; i < first + count; ++i) section.Write(KeyName(i), Value(i).c_str());
  section.Flush();
}

inline bool Holds(const char* buffer, const std::string& expected) { return expected == buffer; }

// The keys a reader passes to Read: prepared by the store when it can, so
// that a peer's timed read is the read alone; otherwise the names themselves.
template <class Section>
auto PreparedKeys(Section& section, const std::vector<std::string>& names) {
  if constexpr (requires { section.Prepare(names[0]); }) {
    std::vector<decltype(section.Prepare(names[0]))> keys;
    keys.reserve(names.size());
    for (const std::string& name : names) keys.push_back(section.Prepare(name));
    return keys;
  } else {
    return names;
  }
}

// Open a key and read it, at random in a section of range(0) keys.
template <class Store>
void PointRead(benchmark::State& state) {
  Guarded(state, [&] {
    const int keys = static_cast<int>(state.range(0));
    BenchDirectory directory("point-read", OnDisk<Store>());
    Store store(directory.path());
    auto section = store.CreateSection("point-read");
    Fill(section, 0, keys);
    const auto prepared = PreparedKeys(section, KeyNames(keys));
    const RandomOrder order(keys);
    char buffer[kValueSize] = {};
    size_t position = 0;
    for (auto _ : state) {
      section.Read(prepared[order[position++]], buffer);
      benchmark::ClobberMemory();
    }
    if (position > 0 && !Holds(buffer, Value(order[position - 1]))) state.SkipWithError("a read was wrong");
  });
}

// Creates max_iterations new keys in an empty section, one per iteration.
template <class Store>
void WriteNew(benchmark::State& state) {
  Guarded(state, [&] {
    const int count = static_cast<int>(state.max_iterations);
    BenchDirectory directory("write-new", OnDisk<Store>());
    Store store(directory.path());
    auto section = store.CreateSection("write-new");
    const std::vector<std::string> names = KeyNames(count);
    std::vector<std::string> values;
    values.reserve(count);
    for (int i = 0; i < count; ++i) values.push_back(Value(i));
    int next = 0;
    for (auto _ : state) {
      section.Write(names[next], values[next].c_str());
      ++next;
    }
    section.Flush();
    if (section.Enumerate() != next) return state.SkipWithError("keys were lost");
    char buffer[kValueSize] = {};
    section.Read(names[next - 1], buffer);
    if (!Holds(buffer, values[next - 1])) state.SkipWithError("the last key was wrong");
  });
}

constexpr int kManyKeys = 100000;
constexpr int kManyBlock = 10000;
// A store whose creation of a key grows with the section takes minutes for
// 100,000 keys; the run stops after the block that passes this much time.
constexpr auto kManyBudget = std::chrono::seconds(20);

// Creates up to 100,000 new keys in an empty section in blocks of 10,000, and
// times each block in CPU time, so that other load on the machine counts
// less. Manual time: the CPU time of the blocks written. Counters: the keys
// reached within the budget, the time per key of the first and of the last
// block, and their ratio, about 1 when creating a key costs the same at any
// section size, growing with the keys reached when it walks the section.
template <class Store>
void WriteManyNew(benchmark::State& state) {
  Guarded(state, [&] {
    BenchDirectory directory("write-many");
    Store store(directory.path());
    auto section = store.CreateSection("write-many");
    int written = 0;
    double firstBlock = 0;
    double lastBlock = 0;
    for (auto _ : state) {
      const auto deadline = std::chrono::steady_clock::now() + kManyBudget;
      double seconds = 0;
      while (written < kManyKeys && std::chrono::steady_clock::now() < deadline) {
        std::vector<std::string> names, values;
        names.reserve(kManyBlock);
        values.reserve(kManyBlock);
        for (int i = written; i < written + kManyBlock; ++i) {
          names.push_back(KeyName(i));
          values.push_back(Value(i));
        }
        const std::clock_t start = std::clock();
        for (int i = 0; i < kManyBlock; ++i) section.Write(names[i], values[i].c_str());
        section.Flush();
        const double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        if (written == 0) firstBlock = took;
        lastBlock = took;
        seconds += took;
        written += kManyBlock;
      }
      state.SetIterationTime(seconds);
    }
    if (section.Enumerate() != written) return state.SkipWithError("keys were lost");
    char buffer[kValueSize] = {};
    section.Read(KeyName(written - 1), buffer);
    if (!Holds(buffer, Value(written - 1))) return state.SkipWithError("the last key was wrong");
    state.counters["keys"] = written;
    state.counters["first_ns_per_key"] = firstBlock / kManyBlock * 1e9;
    state.counters["last_ns_per_key"] = lastBlock / kManyBlock * 1e9;
    state.counters["growth"] = firstBlock > 0 ? lastBlock / firstBlock : 0;
  });
}

// Nothing else goes on while a workload runs.
struct Alone {
  template <class Section>
  explicit Alone(Section&) {}
};

// Overwrites keys at random in a section of 1,000, each time with a new value,
// while `During` (made on the section) goes on.
template <class Store, class During = Alone>
void Overwrite(benchmark::State& state) {
  Guarded(state, [&] {
    constexpr int kKeys = 1000;
    BenchDirectory directory("overwrite", OnDisk<Store>());
    Store store(directory.path());
    auto section = store.CreateSection("overwrite");
    Fill(section, 0, kKeys);
    const std::vector<std::string> names = KeyNames(kKeys);
    const RandomOrder order(kKeys);
    std::vector<std::string> values;
    values.reserve(RandomOrder::kLength);
    for (size_t i = 0; i < RandomOrder::kLength; ++i) values.push_back(Value(order[i], 1 + i));
    size_t position = 0;
    During during(section);
    for (auto _ : state) {
      const size_t slot = position++ & (RandomOrder::kLength - 1);
      section.Write(names[order[slot]], values[slot].c_str());
    }
    section.Flush();
    if (position == 0) return;
    const size_t last = (position - 1) & (RandomOrder::kLength - 1);
    char buffer[kValueSize] = {};
    section.Read(names[order[last]], buffer);
    if (!Holds(buffer, values[last])) state.SkipWithError("the last write was lost");
  });
}

// Every key name of a section of 1,000.
template <class Store>
void Enumerate(benchmark::State& state) {
  Guarded(state, [&] {
    constexpr int kKeys = 1000;
    BenchDirectory directory("enumerate");
    Store store(directory.path());
    auto section = store.CreateSection("enumerate");
    Fill(section, 0, kKeys);
    int visited = 0;
    for (auto _ : state) visited = section.Enumerate();
    if (visited != kKeys) state.SkipWithError("enumeration missed keys");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kKeys);
  });
}

constexpr int kColdSections = 100;
constexpr int kColdKeysPerSection = 100;

// A store of 10,000 keys (100 sections of 100) written to its files.
template <class Store>
void WriteColdStore(const std::string& directory) {
  Store store(directory);
  for (int s = 0; s < kColdSections; ++s) {
    auto section = store.CreateSection(SectionName(s));
    Fill(section, s * kColdKeysPerSection, kColdKeysPerSection);
  }
}

// Opens the 10,000-key store from its files and reads one key; the close
// that follows is not timed (manual time).
template <class Store>
void ColdOpen(benchmark::State& state) {
  Guarded(state, [&] {
    BenchDirectory directory("cold-open");
    WriteColdStore<Store>(directory.path());
    constexpr int kSection = 57;
    const std::string key = KeyName(kSection * kColdKeysPerSection + 42);
    char buffer[kValueSize] = {};
    for (auto _ : state) {
      const auto start = std::chrono::steady_clock::now();
      Store store(directory.path());
      store.OpenSection(SectionName(kSection)).Read(key, buffer);
      state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    if (!Holds(buffer, Value(kSection * kColdKeysPerSection + 42))) state.SkipWithError("the read was wrong");
  });
}

// Registers the workloads every store runs under "<workload>/<store>".
template <class Store>
void RegisterCommonWorkloads(const std::string& store, int newKeys = 10000) {
  benchmark::RegisterBenchmark(("point_read/" + store).c_str(), PointRead<Store>)
      ->Arg(10)
      ->Arg(100)
      ->Arg(1000);
  benchmark::RegisterBenchmark(("write_new/" + store).c_str(), WriteNew<Store>)->Iterations(newKeys);
  benchmark::RegisterBenchmark(("overwrite/" + store).c_str(), Overwrite<Store>);
  benchmark::RegisterBenchmark(("enumerate/" + store).c_str(), Enumerate<Store>)
      ->Unit(benchmark::kMicrosecond);
}

// The 100,000 new keys, as "write_new_100k/<store>": one run.
template <class Store>
void RegisterWriteMany(const std::string& store) {
  benchmark::RegisterBenchmark(("write_new_100k/" + store).c_str(), WriteManyNew<Store>)
      ->UseManualTime()
      ->Iterations(1)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);
}

template <class Store>
void RegisterColdOpen(const std::string& store, int iterations = 20) {
  benchmark::RegisterBenchmark(("cold_open/" + store).c_str(), ColdOpen<Store>)
      ->UseManualTime()
      ->Iterations(iterations)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace bench

#endif  // SETTINGSTORE_BENCH_SUPPORT_WORKLOADS_H
