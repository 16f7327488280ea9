#include "Worker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Board.h"
#include "KeyCheck.h"
#include "Outcome.h"
#include "Process.h"
#include "StorageSession.h"
#include "ValueCheck.h"
#include "Workload.h"

namespace stress {

namespace {

using storage::INamesEnumerator;
using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;

constexpr size_t kCacheSize = 4;
// Planted faults happen in the first worker's first thread, a little into the run.
constexpr uint32_t kInjectingWorker = 1;
constexpr auto kInjectionDelay = std::chrono::milliseconds(1000);

struct OwnedEntry {
  std::string place;
  std::string name;
  uint64_t sequence = 0;
  bool written = false;  // its last write is known to have landed
  bool frozen = false;   // left alone after a planted fault
};

struct CachedSection {
  std::string place;
  Ref<IStorageSection> section;
};

struct CachedKey {
  std::string place;
  std::string name;
  Ref<IStorageKey> key;
};

int Depth(const std::string& place) {
  if (place.empty()) return 0;
  return 1 + static_cast<int>(std::count(place.begin(), place.end(), '/'));
}

class WorkerThread {
 public:
  WorkerThread(const WorkerOptions& options, Board& board, Ref<IStorageSection> root, size_t index,
               std::atomic<uint64_t>& failures)
      : options_(options),
        outcome_(board, options.slot, index, failures, Report, NotFoundCode(ParseType(options.type))),
        root_(std::move(root)),
        index_(index),
        random_(options.seed * 1000003u + options.worker * 7919u + index) {
    for (int i = 0; i < kOwnedKeysPerThread; ++i)
      owned_.push_back(OwnedEntry{OwnedPlace(options.worker, index, i, options.sections),
                                  OwnedKey(options.worker, index, i)});
  }

  void Run() {
    const auto started = std::chrono::steady_clock::now();
    bool injected =
        !(options_.worker == kInjectingWorker && index_ == 0 && options_.injection != Injection::kNone);
    try {
      while (!outcome_.board().StopRequested()) {
        if (!injected && std::chrono::steady_clock::now() - started > kInjectionDelay) injected = Inject();
        RunOne();
      }
    } catch (const std::exception& e) {
      outcome_.Fail(std::string("the worker thread stopped: ") + e.what());
    }
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  bool Chance(int percent) { return Pick(100) < percent; }

  void RunOne() {
    // Weights of the mix; they add up to 100.
    const int roll = Pick(100);
    if (roll < 7) return CreateSectionOp();
    if (roll < 13) return OpenSectionOp();
    if (roll < 20) return DeleteSectionOp();
    if (roll < 36) return WriteSharedOp();
    if (roll < 52) return ReadSharedOp();
    if (roll < 60) return DeleteKeyOp();
    if (roll < 68) return EnumerateOp();
    if (roll < 80) return WriteOwnedOp();
    if (roll < 86) return ReadOwnedOp();
    return CachedKeyOp();
  }

  std::string RandomPlace() {
    const int top = Pick(options_.sections);
    return Chance(40) ? TopSection(top) : SubSection(top, Pick(kSubSections));
  }

  // A section to work in: one this thread keeps from before (which may have
  // been deleted since), or one looked up now from the root.
  std::optional<CachedSection> AnySection(bool create) {
    if (!sections_.empty() && Chance(30)) return sections_[Pick(static_cast<int>(sections_.size()))];
    if (Chance(5)) return CachedSection{"", root_};
    const std::string place = RandomPlace();
    return LookUp(place, create);
  }

  std::optional<CachedSection> LookUp(const std::string& place, bool create) {
    Ref<IStorageSection> section;
    const bool found = create ? outcome_.Attempt(OpKind::kCreateSection, place, "", {-1},
                                                 [&] { section.reset(root_->CreateSection(place.c_str())); })
                              : outcome_.Attempt(OpKind::kOpenSection, place, "", {-1, -2},
                                                 [&] { section.reset(root_->OpenSection(place.c_str())); });
    if (!found) return std::nullopt;
    if (!section) {
      outcome_.Fail(std::string(create ? "CreateSection " : "OpenSection ") + place + " returned null");
      return std::nullopt;
    }
    CachedSection entry{place, section};
    if (options_.keepHandles && Chance(25)) Remember(sections_, entry);
    return entry;
  }

  template <class Entry>
  void Remember(std::vector<Entry>& cache, const Entry& entry) {
    if (cache.size() < kCacheSize)
      cache.push_back(entry);
    else
      cache[static_cast<size_t>(Pick(static_cast<int>(kCacheSize)))] = entry;
  }

  storage::Type RandomType(bool integers) {
    static constexpr storage::Type kTypes[] = {storage::TYPE_STRING, storage::TYPE_MULTI_STRING,
                                               storage::TYPE_BINARY, storage::TYPE_INTEGER};
    return kTypes[Pick(integers ? 4 : 3)];
  }

  EncodedValue NewValue(const std::string& place, const std::string& name, storage::Type type,
                        uint64_t sequence) {
    // Never empty: an empty part would end a multi-string early.
    const size_t length = 1 + static_cast<size_t>(Chance(5) ? Pick(2000) : Pick(160));
    return Encode(type, Stamp{place + "/" + name, options_.worker, static_cast<uint32_t>(index_), sequence},
                  random_(), length);
  }

  bool WriteValue(IStorageKey& key, const std::string& place, const std::string& name,
                  const EncodedValue& value, std::initializer_list<int32_t> allowed) {
    bool written = false;
    if (!outcome_.Attempt(OpKind::kWrite, place, name, allowed, [&] {
          written = key.Write(value.type, value.bytes.data(), static_cast<unsigned>(value.bytes.size()));
        }))
      return false;
    if (!written) outcome_.Fail("Write of " + place + "/" + name + " returned false");
    return written;
  }

  void CreateSectionOp() { LookUp(RandomPlace(), true); }
  void OpenSectionOp() { LookUp(RandomPlace(), false); }

  void DeleteSectionOp() {
    const int top = Pick(options_.sections);
    // Top sections hold owned keys and mostly refuse; sub-sections come and go.
    const std::string place = Chance(10) ? TopSection(top) : SubSection(top, Pick(kSubSections));
    outcome_.Attempt(OpKind::kDeleteSection, place, "", {-1, -2, -6},
                     [&] { root_->DeleteSection(place.c_str()); });
  }

  void WriteSharedOp() {
    if (auto place = AnySection(true)) WriteIn(*place);
  }

  void WriteIn(const CachedSection& place) {
    const std::string name = SharedKey(Pick(kSharedKeys));
    Ref<IStorageKey> key;
    if (!outcome_.Attempt(OpKind::kCreateKey, place.place, name, {-1},
                          [&] { key.reset(place.section->CreateKey(name.c_str())); }))
      return;
    if (!key) return outcome_.Fail("CreateKey " + place.place + "/" + name + " returned null");
    WriteValue(*key, place.place, name, NewValue(place.place, name, RandomType(true), ++sequence_), {-1});
    if (options_.keepHandles && Chance(20)) Remember(keys_, CachedKey{place.place, name, key});
  }

  void ReadSharedOp() {
    if (auto place = AnySection(false)) ReadIn(*place);
  }

  void ReadIn(const CachedSection& place) {
    const std::string name = SharedKey(Pick(kSharedKeys));
    Ref<IStorageKey> key;
    if (!outcome_.Attempt(OpKind::kOpenKey, place.place, name, {-1, -2},
                          [&] { key.reset(place.section->OpenKey(name.c_str())); }))
      return;
    if (!key) return outcome_.Fail("OpenKey " + place.place + "/" + name + " returned null");
    ReadKey(*key, place.place, name, outcome_, false);
  }

  void DeleteKeyOp() {
    auto place = AnySection(false);
    if (!place) return;
    const std::string name = SharedKey(Pick(kSharedKeys));
    outcome_.Attempt(OpKind::kDeleteKey, place->place, name, {-1, -2, -6},
                     [&] { place->section->DeleteKey(name.c_str()); });
  }

  void EnumerateOp() {
    auto place = AnySection(false);
    if (!place) return;
    const bool keys = Chance(50);
    Ref<INamesEnumerator> names;
    if (!outcome_.Attempt(keys ? OpKind::kEnumKeys : OpKind::kEnumSections, place->place, "", {-1}, [&] {
          names.reset(keys ? place->section->EnumKeys() : place->section->EnumSections());
        }))
      return;
    if (!names) return outcome_.Fail("enumeration of " + place->place + " returned null");
    for (const std::string& name : CollectNames(*names, place->place, keys ? "keys" : "sections", outcome_)) {
      const bool known =
          keys ? KnownKeyName(name) : KnownSectionName(name, Depth(place->place) + 1, options_.sections);
      if (!known) outcome_.Fail("unexpected name '" + name + "' in " + place->place);
    }
  }

  // Creates the owned key's section and key as needed and writes it.
  std::optional<bool> WriteOwned(OwnedEntry& owned, const EncodedValue& value) {
    std::optional<CachedSection> place = LookUp(owned.place, true);
    if (!place) return std::nullopt;
    Ref<IStorageKey> key;
    // Until the key exists its section may be empty, and deleted meanwhile.
    if (!outcome_.Attempt(OpKind::kCreateKey, owned.place, owned.name, {-1},
                          [&] { key.reset(place->section->CreateKey(owned.name.c_str())); }))
      return std::nullopt;
    if (!key) {
      outcome_.Fail("CreateKey " + owned.place + "/" + owned.name + " returned null");
      return std::nullopt;
    }
    return WriteValue(*key, owned.place, owned.name, value, {});
  }

  void WriteOwnedOp() { WriteOwnedKey(owned_[static_cast<size_t>(Pick(kOwnedKeysPerThread))]); }

  void WriteOwnedKey(OwnedEntry& owned) {
    if (owned.frozen) return;
    const uint64_t sequence = owned.sequence + 1;
    const std::optional<bool> written =
        WriteOwned(owned, NewValue(owned.place, owned.name, RandomType(false), sequence));
    if (!written) return;
    owned.sequence = sequence;
    owned.written = *written;
    Report((*written ? "ack " : "unsure ") + owned.place + "/" + owned.name + " " + std::to_string(sequence));
  }

  void ReadOwnedOp() {
    const OwnedEntry& owned = owned_[static_cast<size_t>(Pick(kOwnedKeysPerThread))];
    if (!owned.written) return;
    Ref<IStorageSection> section;
    Ref<IStorageKey> key;
    if (!outcome_.Attempt(OpKind::kOpenSection, owned.place, "", {},
                          [&] { section.reset(root_->OpenSection(owned.place.c_str())); }) ||
        !outcome_.Attempt(OpKind::kOpenKey, owned.place, owned.name, {},
                          [&] { key.reset(section->OpenKey(owned.name.c_str())); }))
      return;
    const KeyReading reading = ReadKey(*key, owned.place, owned.name, outcome_, true);
    if (reading.result != KeyReading::kChecked) return;
    if (reading.stamp->writer != options_.worker || reading.stamp->sequence != owned.sequence)
      outcome_.Fail("own key " + owned.place + "/" + owned.name + " read back write " +
                    std::to_string(reading.stamp->sequence) + " of worker " +
                    std::to_string(reading.stamp->writer) + ", not its last write " +
                    std::to_string(owned.sequence));
  }

  // Works through a key object kept from before: its key or its section may
  // have been deleted since (a write then makes the key again).
  void CachedKeyOp() {
    if (keys_.empty()) return WriteSharedOp();
    const CachedKey entry = keys_[static_cast<size_t>(Pick(static_cast<int>(keys_.size())))];
    if (Chance(50))
      WriteValue(*entry.key, entry.place, entry.name,
                 NewValue(entry.place, entry.name, RandomType(true), ++sequence_), {-1});
    else
      ReadKey(*entry.key, entry.place, entry.name, outcome_, false);
  }

  // Plants the fault asked for; true when done.
  bool Inject() {
    OwnedEntry& owned = owned_[0];
    switch (options_.injection) {
      case Injection::kStall: {
        BeatScope beat(outcome_.board(), options_.slot, index_, OpKind::kWrite, owned.place, "stalled");
        while (!outcome_.board().StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return true;
      }
      case Injection::kCorrupt: {
        if (!owned.written) {
          WriteOwnedKey(owned);
          return false;
        }
        EncodedValue value = NewValue(owned.place, owned.name, storage::TYPE_STRING, owned.sequence);
        value.bytes[value.bytes.size() / 2] ^= 1;  // the check no longer matches
        if (WriteOwned(owned, value).value_or(false)) owned.frozen = true;
        return owned.frozen;
      }
      case Injection::kPhantomAck:
        if (!owned.written) {
          WriteOwnedKey(owned);
          return false;
        }
        owned.frozen = true;
        Report("ack " + owned.place + "/" + owned.name + " " + std::to_string(owned.sequence + 1000));
        return true;
      case Injection::kNone:
        break;
    }
    return true;
  }

  const WorkerOptions& options_;
  Outcome outcome_;
  Ref<IStorageSection> root_;
  size_t index_;
  std::mt19937_64 random_;
  uint64_t sequence_ = 0;
  std::vector<OwnedEntry> owned_;
  std::vector<CachedSection> sections_;
  std::vector<CachedKey> keys_;
};

}  // namespace

Injection ParseInjection(const std::string& text) {
  if (text.empty() || text == "none") return Injection::kNone;
  if (text == "stall") return Injection::kStall;
  if (text == "corrupt") return Injection::kCorrupt;
  if (text == "phantom-ack") return Injection::kPhantomAck;
  throw std::invalid_argument("fault to inject '" + text + "' (stall, corrupt or phantom-ack)");
}

int RunWorker(const WorkerOptions& options) {
  FollowParent(options.controllerPid);
  Board board = Board::Attach(options.boardPath);
  std::atomic<uint64_t> failures{0};
  Outcome outcome(board, options.slot, 0, failures, Report);
  std::optional<StorageSession> session;
  if (!outcome.Attempt(OpKind::kInitialize, options.storagePath, "", {},
                       [&] { session.emplace(ParseType(options.type), options.storagePath); }))
    return 1;
  {
    std::vector<std::unique_ptr<WorkerThread>> workers;
    for (size_t i = 0; i < options.threads; ++i)
      workers.push_back(std::make_unique<WorkerThread>(options, board, session->Root(), i, failures));
    std::vector<std::thread> threads;
    for (auto& worker : workers) threads.emplace_back([&worker] { worker->Run(); });
    for (std::thread& thread : threads) thread.join();
  }
  outcome.Attempt(OpKind::kDeinitialize, options.storagePath, "", {}, [&] { session->Close(); });
  Report("bye");
  return failures.load() == 0 ? 0 : 1;
}

}  // namespace stress
