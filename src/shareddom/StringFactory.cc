#include "shareddom/StringFactory.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "base/Exceptions.h"
#include "base/Logger.h"
#include "base/Path.h"
#include "platform/Platform.h"
#include "shareddom/ExternalStringHolder.h"
#include "shareddom/Messages.h"
#include "shareddom/StringHolderBase.h"
#include "shm/MemoryConfigurator.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shareddom::kStringFactoryFile;

// SID words that mark a head without a string.
bool IsNoSid(uint32_t word) { return word == 0 || word == 0xCCCCCCCC || word == 0xDDDDDDDD; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// The directory part of the file path, separator included; "./" when the path
// names no directory.
std::string ExternalDirectoryOf(const char* filePath) {
  const std::string path = filePath != nullptr ? filePath : "";
  const size_t last = path.find_last_of(utils::path::GetSeparators());
  if (last == std::string::npos) return std::string(".") + utils::path::kSeparator;
  return path.substr(0, last + 1);
}

std::string FileNameOf(const std::string& path) {
  const size_t last = path.find_last_of(utils::path::GetSeparators());
  return last == std::string::npos ? path : path.substr(last + 1);
}

bool IsExternalFileName(std::string_view name) {
  return name.starts_with("external_") && name.ends_with(".dm2");
}

}  // namespace

// ---- StringAutoRelease --------------------------------------------------------

StringFactory::StringAutoRelease::StringAutoRelease(IStringHolder* holder) {
  if (holder != nullptr && holder->AddRef()) holder_ = holder;
}

StringFactory::StringAutoRelease::StringAutoRelease(const StringAutoRelease& other) : holder_(other.holder_) {
  STORAGE_ASSERT(holder_ == nullptr || holder_->AddRef(), kSourceFile,
                 messages::shareddom::kAutoReleaseAddRef, nullptr);
}

StringFactory::StringAutoRelease& StringFactory::StringAutoRelease::operator=(
    StringAutoRelease other) noexcept {
  std::swap(holder_, other.holder_);
  return *this;
}

StringFactory::StringAutoRelease::~StringAutoRelease() {
  if (holder_ == nullptr) return;
  // A release that fails (a damaged table) can only be logged here.
  try {
    holder_->Release();
  } catch (const std::exception& error) {
    logger::Error(messages::shareddom::kAutoReleaseFailedWith, error.what());
  } catch (...) {
    logger::Error(messages::shareddom::kAutoReleaseFailed);
  }
}

bool StringFactory::StringAutoRelease::IsValid() const {
  return holder_ != nullptr && holder_->CurrentSID() != -1;
}

const char* StringFactory::StringAutoRelease::GetString() const {
  if (holder_ == nullptr) return nullptr;
  const std::string* text = holder_->Text();
  STORAGE_ASSERT(text != nullptr, kSourceFile, messages::shareddom::kAutoReleaseGetString,
                 nullptr);
  return text->c_str();
}

int32_t StringFactory::StringAutoRelease::GetSID() const {
  return holder_ != nullptr ? holder_->CurrentSID() : -1;
}

void StringFactory::StringAutoRelease::AddRef() const {
  STORAGE_ASSERT(holder_ != nullptr && holder_->AddRef(), kSourceFile,
                 messages::shareddom::kAutoReleaseAddRef, nullptr);
}

// ---- Scan ---------------------------------------------------------------------

// Collects the head blocks of strings newer than the known SID, and the root.
// The blocks are indexed only after the walk: the walk holds each block's lock
// while it visits it, and indexing may free strings.
class StringFactory::ScanEnumerator : public MemoryBlockVisitor {
 public:
  ScanEnumerator(StringFactory& factory, bool findRoot) : factory_(factory), findRoot_(findRoot) {}

  // Chunk blocks are most of the table and are skipped unlocked: string heads
  // and the root are made only under the root lock, which every scan that
  // counts what it saw holds, so none can appear in a skipped block meanwhile.
  bool Wants(int32_t size) override {
    return size == static_cast<int32_t>(kRootSize) ||
           size == static_cast<int32_t>(StringHolderBase::kHeadBlockSize) ||
           size == static_cast<int32_t>(StringHolderBase::kExternalHeadBlockSize);
  }

  bool MemoryBlock(const InitMemAddress& address, int32_t size) override {
    if (size == static_cast<int32_t>(kRootSize)) {
      // Reverse walk: the last one met is the first in hive order.
      if (findRoot_) root = address;
      return true;
    }
    if (!Wants(size)) return true;
    auto* head = static_cast<uint32_t*>(factory_.pageManager_->GetPoint(address));
    const uint32_t word = std::atomic_ref<uint32_t>(head[StringHolderBase::kSidOffset / 4]).load();
    const auto sid = static_cast<int32_t>(word);
    if (IsNoSid(word) || sid <= factory_.knownSid_ || factory_.bySid_.contains(sid)) return true;
    blocks.push_back({address, size, sid});
    return true;
  }

  std::vector<ScannedBlock> blocks;
  InitMemAddress root;

 private:
  StringFactory& factory_;
  bool findRoot_;
};

// ---- Construction -------------------------------------------------------------

StringFactory::StringFactory(const char* namePrefix, const char* filePath)
    : externalDirectory_(ExternalDirectoryOf(filePath)),
      ownedPageManager_(std::make_unique<PageManager>()),
      pageManager_(ownedPageManager_.get()),
      holderFactory_(*this, &pageManager_) {
  constexpr const char* kFunction = messages::shareddom::kStringFactoryConstructor;
  STORAGE_ASSERT(namePrefix != nullptr, kSourceFile, kFunction, messages::shareddom::kStringFactoryArguments);
  try {
    MemoryConfigurator<StringFactory> configurator(this, namePrefix, filePath);
    pageManager_->Initialize(&configurator);
    hints_ = std::make_unique<SidHints>(std::string(namePrefix) + "Hints");
  } catch (...) {
    for (auto& [sid, entry] : bySid_) entry.holder->Destroy();
    throw;
  }
}

StringFactory::~StringFactory() {
  for (auto& [sid, entry] : bySid_) entry.holder->Destroy();
  bySid_.clear();
  byHash_.clear();
  hints_.reset();
  ownedPageManager_.reset();
}

void StringFactory::OnMemManagerInitialized() {
  threads::MutexGuard guard(mutex_);
  ScanEnumerator scan(*this, true);
  pageManager_->Enumerate(scan, true);
  InitMemAddress root = scan.root;
  if (root.IsNull()) {
    root = pageManager_->Allocate(kRootSize);
    root_ = static_cast<uint32_t*>(pageManager_->GetPoint(root));
    SidCounter().store(0);
  } else {
    root_ = static_cast<uint32_t*>(pageManager_->GetPoint(root));
  }
  // This scan holds no root lock: other processes may make strings while it
  // runs, and it can meet a new string in a reused block without the one made
  // before it. So it counts nothing as known; the first lookup's scan, under
  // the root lock, does.
  bySid_.reserve(scan.blocks.size());
  byHash_.reserve(scan.blocks.size());
  IndexBlocks(scan.blocks);
  // Only the session's first process, alone under the creation lock, knows
  // that no string is being made and that the index holds every saved one.
  if (pageManager_->FirstHiveLoadedFromFile()) RemoveUnnamedExternalFiles();
}

void StringFactory::RemoveUnnamedExternalFiles() {
  std::unordered_set<std::string> named;
  for (const auto& [sid, entry] : bySid_) {
    if (const auto* external = dynamic_cast<const ExternalStringHolder*>(entry.holder)) {
      named.insert(FileNameOf(external->Path()));
    }
  }
  for (const std::string& name : platform::ListDirectory(externalDirectory_.c_str())) {
    if (IsExternalFileName(name) && !named.contains(name)) {
      platform::RemoveFile((externalDirectory_ + name).c_str());
    }
  }
}

// ---- Index --------------------------------------------------------------------

void StringFactory::Rescan(bool whole) {
  // Under the root lock no string is being made, so every SID issued so far
  // belongs to a finished string or to none: the scan sees them all, even
  // when the newest ones are freed already. Heads are made only under this
  // lock too, so those made since the last scan lie in blocks carved since,
  // unless a hive has run out of room to carve one: then it is walked whole.
  const auto issued = static_cast<int32_t>(SidCounter().load());
  if (whole) scanMarks_.clear();
  ScanEnumerator scan(*this, false);
  pageManager_->EnumerateSince(scan, scanMarks_, StringHolderBase::kExternalHeadBlockSize);
  knownSid_ = std::max({knownSid_, issued, IndexBlocks(scan.blocks)});
}

void StringFactory::IndexHinted(int32_t sid) {
  // Under the root lock no head or chunk is carved or reused, so the block
  // stays what its size says while it is checked; a string freed meanwhile
  // refuses the reference that IndexBlocks takes.
  const InitMemAddress head = hints_->Find(sid);
  if (head.IsNull() || bySid_.contains(sid)) return;
  IndexBlocks({{head, pageManager_->BlockSize(head), sid}});
}

int32_t StringFactory::IndexBlocks(const std::vector<ScannedBlock>& blocks) {
  int32_t highest = 0;
  for (const ScannedBlock& block : blocks) {
    std::unique_ptr<IStringHolder> holder = holderFactory_.CreateFromBlock(block.address, block.size);
    if (holder == nullptr || holder->CurrentSID() != block.sid) continue;
    if (!RegisterHolder(block.sid, holder.get())) continue;
    IStringHolder* registered = holder.release();
    // The temporary reference tells a live string from one being freed.
    if (!registered->AddRef()) {
      Drop(block.sid);
      continue;
    }
    highest = std::max(highest, block.sid);
    // Should this be the last reference, the string is freed through the index.
    registered->Release();
  }
  return highest;
}

bool StringFactory::RegisterHolder(int32_t sid, IStringHolder* holder) {
  if (sid == -1 || bySid_.contains(sid)) return false;
  const int32_t hash = holder->Hash();
  // Checked after Hash: a hash taken while the SID still matched is the
  // string's own, even when it happens to be -1.
  if (holder->CurrentSID() != sid) return false;
  const auto candidate = byHash_.emplace(hash, Candidate{sid, holder});
  try {
    bySid_.emplace(sid, Entry{holder, hash});
  } catch (...) {
    byHash_.erase(candidate);
    throw;
  }
  return true;
}

IStringHolder* StringFactory::Unlink(int32_t sid) {
  const auto found = bySid_.find(sid);
  if (found == bySid_.end()) return nullptr;
  const Entry entry = found->second;
  bySid_.erase(found);
  const auto [first, last] = byHash_.equal_range(entry.hash);
  const auto place = std::find_if(
      first, last, [&](const auto& candidate) { return candidate.second.holder == entry.holder; });
  if (place != last) byHash_.erase(place);
  return entry.holder;
}

// Nobody in this process holds a reference on a string that is gone, so its
// holder object can go as soon as a lookup meets it.
void StringFactory::Drop(int32_t sid) {
  IStringHolder* holder = Unlink(sid);
  if (holder != nullptr) holder->Destroy();
}

IStringHolder* StringFactory::Remove(int32_t sid) {
  threads::MutexGuard guard(mutex_);
  return Unlink(sid);
}

IStringHolder* StringFactory::FindByText(std::string_view text, int32_t hash, Match match) {
  const auto [first, last] = byHash_.equal_range(hash);
  if (first == last) return nullptr;
  // Matches are tried from the lowest SID up; one that refuses a reference is
  // being freed, and the next one above it answers instead.
  int32_t floor = 0;
  for (;;) {
    Candidate best{0, nullptr};
    bool sawGone = false;
    for (auto place = first; place != last; ++place) {
      const Candidate& candidate = place->second;
      if (candidate.sid <= floor || (best.holder != nullptr && candidate.sid > best.sid)) continue;
      const std::string* stored = nullptr;
      try {
        stored = candidate.holder->Text();
      } catch (const ExternalFileError&) {
        // A long text whose file is gone matches nothing: storing the same
        // text again then makes a new string, with a file, instead of failing.
        continue;
      }
      if (stored == nullptr) {
        sawGone = true;
      } else if (match == Match::kExact ? *stored == text : EqualIgnoringCase(*stored, text)) {
        best = candidate;
      }
    }
    if (sawGone) {
      DropGone(hash);
      return FindByText(text, hash, match);
    }
    if (best.holder == nullptr) return nullptr;
    if (best.holder->AddRef()) return best.holder;
    floor = best.sid;
  }
}

void StringFactory::DropGone(int32_t hash) {
  std::vector<int32_t> gone;
  const auto [first, last] = byHash_.equal_range(hash);
  for (auto place = first; place != last; ++place) {
    if (place->second.holder->Text() == nullptr) gone.push_back(place->second.sid);
  }
  for (int32_t sid : gone) Drop(sid);
}

IStringHolder* StringFactory::FindBySid(int32_t sid) {
  const auto found = bySid_.find(sid);
  if (found == bySid_.end()) return nullptr;
  IStringHolder* holder = found->second.holder;
  if (holder->CurrentSID() == -1) {
    Drop(sid);
    return nullptr;
  }
  return holder->AddRef() ? holder : nullptr;
}

// ---- Lookups ------------------------------------------------------------------

StringAutoRelease StringFactory::GetSID(const char* text) {
  constexpr const char* kFunction = messages::shareddom::kStringFactoryGetSid;
  return GetByText(text, Match::kIgnoreCase, Mode::kGet, kFunction);
}

StringAutoRelease StringFactory::PeekSID(const char* text) {
  constexpr const char* kFunction = messages::shareddom::kStringFactoryPeekSid;
  return GetByText(text, Match::kIgnoreCase, Mode::kPeek, kFunction);
}

StringAutoRelease StringFactory::GetExactSID(const char* text) {
  constexpr const char* kFunction = messages::shareddom::kStringFactoryGetExactSid;
  return GetByText(text, Match::kExact, Mode::kGet, kFunction);
}

StringAutoRelease StringFactory::PeekExactSID(const char* text) {
  constexpr const char* kFunction = messages::shareddom::kStringFactoryPeekExactSid;
  return GetByText(text, Match::kExact, Mode::kPeek, kFunction);
}

// SIDs come from shared memory that a damaged file may have filled: one that
// can name no string finds none, as an unknown one does.
StringAutoRelease StringFactory::GetString(int32_t sid) { return GetBySid(sid); }

StringAutoRelease StringFactory::GetByText(const char* text, Match match, Mode mode, const char* function) {
  STORAGE_ASSERT(text != nullptr, kSourceFile, function, nullptr);
  const std::string_view wanted(text);
  const auto hash = static_cast<int32_t>(StringHolderFactory::GetHash(wanted));
  {
    threads::MutexGuard guard(mutex_);
    if (IStringHolder* found = FindByText(wanted, hash, match))
      return StringAutoRelease(found, StringAutoRelease::Adopt{});
  }
  owner::OwnerLockGuard<owner::OwnerLock> rootGuard(RootBlockLock());
  // A scan visits every block: skip it when no string was made since the
  // last one, so that making a new string costs no more than its blocks.
  // The index is asked again all the same: another thread of this process
  // may have made the string while this one waited for the lock.
  const bool scan = !NothingNewSinceScan();
  if (scan) pageManager_->LoadNewHives();
  {
    threads::MutexGuard guard(mutex_);
    if (scan) Rescan(/*whole=*/false);
    if (IStringHolder* found = FindByText(wanted, hash, match))
      return StringAutoRelease(found, StringAutoRelease::Adopt{});
  }
  if (mode == Mode::kPeek) return {};
  return Create(wanted);
}

StringAutoRelease StringFactory::GetBySid(int32_t sid) {
  {
    threads::MutexGuard guard(mutex_);
    if (IStringHolder* found = FindBySid(sid)) return StringAutoRelease(found, StringAutoRelease::Adopt{});
  }
  owner::OwnerLockGuard<owner::OwnerLock> rootGuard(RootBlockLock());
  // Another thread may have indexed the string while this one waited.
  const bool scan = !NothingNewSinceScan();
  if (scan) pageManager_->LoadNewHives();
  threads::MutexGuard guard(mutex_);
  if (scan) {
    // A string made since the last scan is most often where the hint table
    // says, and then the scan can wait for a text that is not found.
    IndexHinted(sid);
    if (IStringHolder* found = FindBySid(sid)) return StringAutoRelease(found, StringAutoRelease::Adopt{});
    Rescan(/*whole=*/false);
  }
  if (IStringHolder* found = FindBySid(sid)) return StringAutoRelease(found, StringAutoRelease::Adopt{});
  if (sid <= 0 || sid > knownSid_) return {};
  // Counted as known, yet not in the index: the string is gone, or a scan
  // missed it. Every block is looked at once more before it counts as gone.
  if (!scan) pageManager_->LoadNewHives();
  const int32_t known = std::exchange(knownSid_, 0);
  Rescan(/*whole=*/true);
  knownSid_ = std::max(known, knownSid_);
  if (IStringHolder* found = FindBySid(sid)) {
    logger::Debug(messages::shareddom::kSidByFullScan, sid);
    return StringAutoRelease(found, StringAutoRelease::Adopt{});
  }
  return {};
}

bool StringFactory::NothingNewSinceScan() {
  const auto counter = static_cast<int32_t>(SidCounter().load());
  threads::MutexGuard guard(mutex_);
  return counter == knownSid_;
}

// ---- Creation -----------------------------------------------------------------

int32_t StringFactory::NextSid() {
  std::atomic_ref<uint32_t> counter = SidCounter();
  uint32_t last = counter.load();
  do {
    if (last >= static_cast<uint32_t>(kMaxSID)) throw SidsExhaustedError();
  } while (!counter.compare_exchange_weak(last, last + 1));
  return static_cast<int32_t>(last + 1);
}

StringAutoRelease StringFactory::Create(std::string_view text) {
  const int32_t sid = NextSid();
  {
    threads::MutexGuard guard(mutex_);
    if (sid == knownSid_ + 1) knownSid_ = sid;
  }
  std::unique_ptr<IStringHolder> holder = holderFactory_.Create(sid, text);
  try {
    threads::MutexGuard guard(mutex_);
    // Nobody else holds a reference on the new string, so it is live and its
    // fresh SID is in no index, unless the stored counter is damaged.
    if (!RegisterHolder(sid, holder.get())) {
      throw InternalStructureException(kSourceFile, messages::shareddom::kStringFactoryGetSid, __LINE__,
                                       messages::shareddom::kSidInUse);
    }
    hints_->Record(sid, static_cast<StringHolderBase*>(holder.get())->HeadAddress());
  } catch (...) {
    holder->Free();
    throw;
  }
  // The creation reference becomes the handle's.
  return StringAutoRelease(holder.release(), StringAutoRelease::Adopt{});
}

}  // namespace storage
