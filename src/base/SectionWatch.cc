#include "base/SectionWatch.h"

#include <xxhash.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace storage {

namespace {

// How long the signaller sleeps before it looks whether to stop.
constexpr uint32_t kSignalSliceMs = 50;
// Looks at the section, and signals the handle, at most this often, and
// spends at most a fifth of its time looking: changes that come faster are
// taken together, so that a watch cannot keep a busy writer's cores reading.
constexpr uint64_t kLookSpacingMs = 2;
constexpr uint64_t kLookShare = 5;

std::vector<std::string> SortedNames(INamesEnumerator* names) {
  std::vector<std::string> sorted;
  Ref<INamesEnumerator> holder(names);
  if (!names) return sorted;
  while (names->Next()) sorted.emplace_back(names->Current());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

class Digest {
 public:
  Digest() { XXH3_64bits_reset(state_); }
  ~Digest() { XXH3_freeState(state_); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  void Add(const void* data, size_t size) {
    XXH3_64bits_update(state_, &size, sizeof(size));
    XXH3_64bits_update(state_, data, size);
  }
  void Add(const std::string& text) { Add(text.data(), text.size()); }
  uint64_t Value() const { return XXH3_64bits_digest(state_); }

  // The section's keys and sub-sections, and with `subtree` all below them.
  // Items that go while they are read are left out: their going moved the
  // count, so the next look sees it.
  void AddSection(IStorageSection* section, bool subtree) {
    for (const std::string& name : SortedNames(section->EnumKeys())) {
      Add("k", 1);
      Add(name);
      try {
        Ref<IStorageKey> key(section->OpenKey(name.c_str()));
        if (!key) continue;
        const Type type = key->GetType();
        std::vector<char> value(key->GetSize());
        const bool read = key->Read(value.data(), static_cast<unsigned>(value.size()));
        Add(&type, sizeof(type));
        Add(&read, sizeof(read));
        Add(value.data(), value.size());
      } catch (const Exception&) {
      }
    }
    for (const std::string& name : SortedNames(section->EnumSections())) {
      Add("s", 1);
      Add(name);
      if (!subtree) continue;
      try {
        Ref<IStorageSection> child(section->OpenSection(name.c_str()));
        if (child) AddSection(child.get(), true);
      } catch (const Exception&) {
      }
    }
  }

 private:
  XXH3_state_t* state_ = XXH3_createState();
};

}  // namespace

SectionWatch::SectionWatch(IStorageSection* section, std::shared_ptr<ChangeHub> hub, bool subtree)
    : section_(section), hub_(std::move(hub)), subtree_(subtree) {
  section_->AddRef();
  hub_->Attach();
  seenChanges_ = hub_->Changes();
  seenReplacements_ = hub_->Replacements();
  seenContent_ = Look();
}

SectionWatch::~SectionWatch() {
  stopSignalling_ = true;
  if (signaller_.joinable()) signaller_.join();
  hub_->Detach();
}

std::optional<uint64_t> SectionWatch::Look() {
  Digest digest;
  try {
    digest.AddSection(section_.get(), subtree_);
  } catch (const Exception&) {
    return std::nullopt;  // the section itself refuses: it was deleted
  }
  return digest.Value();
}

WatchResult SectionWatch::Wait(unsigned milliseconds) {
  std::lock_guard guard(mutex_);
  if (event_) event_->Clear();
  const uint64_t start = platform::TickCountMs();
  for (;;) {
    if (!seenContent_ || hub_->Closed()) {
      seenContent_.reset();
      return WATCH_SECTION_DELETED;
    }
    uint32_t changes = hub_->Changes();
    if (changes != seenChanges_) {
      const uint64_t spacing = std::max(kLookSpacingMs, kLookShare * lookCostMs_);
      const uint64_t sinceLook = platform::TickCountMs() - lastLookMs_;
      if (sinceLook < spacing) platform::SleepMs(static_cast<uint32_t>(spacing - sinceLook));
      changes = hub_->Changes();
      seenChanges_ = changes;
      const uint32_t replacements = hub_->Replacements();
      const bool replaced = replacements != seenReplacements_;
      seenReplacements_ = replacements;
      const uint64_t lookStart = platform::TickCountMs();
      const std::optional<uint64_t> content = Look();
      lastLookMs_ = platform::TickCountMs();
      lookCostMs_ = lastLookMs_ - lookStart;
      if (!content) {
        seenContent_.reset();
        return WATCH_SECTION_DELETED;
      }
      if (replaced || content != seenContent_) {
        seenContent_ = content;
        return WATCH_CHANGED;
      }
    }
    const uint64_t waited = platform::TickCountMs() - start;
    if (waited >= milliseconds) return WATCH_TIMEOUT;
    hub_->WaitPast(changes, static_cast<uint32_t>(milliseconds - waited));
  }
}

WatchHandle SectionWatch::GetHandle() {
  std::lock_guard guard(mutex_);
  if (!event_) {
    event_ = std::make_unique<platform::WakeEvent>();
    signaller_ = std::thread(&SectionWatch::Signal, this, seenChanges_);
  }
#if defined(_WIN32)
  return reinterpret_cast<WatchHandle>(event_->Handle());
#else
  return static_cast<WatchHandle>(event_->Handle());
#endif
}

void SectionWatch::Signal(uint32_t from) {
  uint32_t signalled = from;
  while (!stopSignalling_.load()) {
    const uint32_t changes = hub_->Changes();
    if (hub_->Closed()) {
      event_->Signal();
      return;
    }
    if (changes != signalled) {
      event_->Signal();
      signalled = changes;
      platform::SleepMs(kLookSpacingMs);
    }
    hub_->WaitPast(changes, kSignalSliceMs);
  }
}

}  // namespace storage
