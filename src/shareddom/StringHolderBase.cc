#include "shareddom/StringHolderBase.h"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>

#include "base/Exceptions.h"
#include "platform/Platform.h"
#include "shareddom/Messages.h"
#include "shareddom/StringHolderFactory.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shareddom::kStringHolderBaseFile;
constexpr uint32_t kPayloadWords = StringHolderBase::kPayloadSize / 4;
// No stored text or path is longer than this: a chain that goes on is not a
// string any more but blocks reused after a free.
constexpr size_t kMaxChainBlocks = 4096 / StringHolderBase::kPayloadSize + 1;

std::atomic_ref<uint32_t> Word(void* block, uint32_t offset) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(block) + offset));
}

PageManager& Pages(PageManager* const* slot) {
  if (slot == nullptr || *slot == nullptr) throw std::runtime_error(messages::shareddom::kMemoryManagerNull);
  return **slot;
}

// Scrambles n bytes of piece into the payload; a shorter piece is followed by
// a 0 byte and the rest of the payload keeps what the block held.
void WritePiece(void* block, const uint8_t* piece, size_t n) {
  std::array<uint32_t, kPayloadWords> words;
  for (uint32_t i = 0; i < kPayloadWords; ++i) {
    words[i] = Word(block, StringHolderBase::kPayloadOffset + 4 * i).load(std::memory_order_relaxed);
  }
  auto* bytes = reinterpret_cast<uint8_t*>(words.data());
  for (size_t j = 0; j < n; ++j) bytes[j] = StringHolderBase::Scramble(piece[j], j);
  if (n < StringHolderBase::kPayloadSize) bytes[n] = 0;
  for (uint32_t i = 0; i < kPayloadWords; ++i) {
    Word(block, StringHolderBase::kPayloadOffset + 4 * i).store(words[i], std::memory_order_relaxed);
  }
}

// Unscrambles the block's payload into the kPayloadSize bytes at out.
void ReadPiece(void* block, char* out) {
  std::array<uint32_t, kPayloadWords> words;
  for (uint32_t i = 0; i < kPayloadWords; ++i) {
    words[i] = Word(block, StringHolderBase::kPayloadOffset + 4 * i).load(std::memory_order_relaxed);
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(words.data());
  for (size_t j = 0; j < StringHolderBase::kPayloadSize; ++j) {
    out[j] = static_cast<char>(StringHolderBase::Unscramble(bytes[j], j));
  }
}

// Gives back every block of the chain that starts at head.
void ReleaseChain(PageManager& pages, InitMemAddress address) {
  while (!address.IsNull()) {
    // Chunks start on word boundaries; a link to anywhere else is damage.
    if (address.Offset() % 4 != 0) {
      throw InternalStructureException(kSourceFile, messages::shareddom::kStringHolderFree, __LINE__,
                                       messages::shareddom::kStringChainDamaged);
    }
    void* block = pages.GetPoint(address);
    const InitMemAddress next(Word(block, StringHolderBase::kNextOffset).exchange(InitMemAddress::kNull));
    pages.Release(address);
    address = next;
  }
}

}  // namespace

uint8_t StringHolderBase::Scramble(uint8_t byte, size_t j) {
  return j % 2 == 0 ? std::rotl(byte, 3) : std::rotr(byte, 3);
}

uint8_t StringHolderBase::Unscramble(uint8_t byte, size_t j) {
  return j % 2 == 0 ? std::rotr(byte, 3) : std::rotl(byte, 3);
}

StringHolderBase::StringHolderBase(StringHolderFactory& factory, PageManager* const* slot, int32_t sid)
    : head_(slot, InitMemAddress()), factory_(factory), slot_(slot), sid_(sid) {}

StringHolderBase::~StringHolderBase() { delete text_.load(std::memory_order_acquire); }

void StringHolderBase::Bind(const InitMemAddress& address) { SetHead(address); }

void StringHolderBase::Free() { FreeShared(); }

int32_t StringHolderBase::CurrentSID() { return SidMatches() ? Sid() : -1; }

const std::string* StringHolderBase::Text() {
  if (!SidMatches()) return nullptr;
  if (const std::string* cached = text_.load(std::memory_order_acquire)) return cached;
  std::unique_ptr<std::string> fresh = ReadText();
  // Freed while it was read: what was read may be another string's blocks.
  if (fresh == nullptr || !SidMatches()) return nullptr;
  std::string* expected = nullptr;
  if (text_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) return fresh.release();
  return expected;
}

bool StringHolderBase::AddRef() {
  std::atomic_ref<uint32_t> count = WordOfHead(kCountOffset);
  for (;;) {
    uint32_t current = count.load(std::memory_order_acquire);
    if (current == 0) return false;
    // Checked after the count was read: a swap that succeeds found the count
    // unchanged since a moment at which the head still carried this string.
    if (!SidMatches()) return false;
    if (count.compare_exchange_strong(current, current + 1, std::memory_order_acq_rel)) return true;
    platform::YieldThread();
  }
}

void StringHolderBase::Release() {
  std::atomic_ref<uint32_t> count = WordOfHead(kCountOffset);
  uint32_t current = count.load(std::memory_order_acquire);
  for (;;) {
    if (current == 0) return;
    if (count.compare_exchange_strong(current, current - 1, std::memory_order_acq_rel)) break;
    platform::YieldThread();
  }
  if (current != 1) return;
  // The last reference: the holder in the owner's index frees the string. A
  // holder outside the index (one made by a scan, say) frees it itself, so
  // that a string nobody references never stays behind.
  const auto headSid = static_cast<int32_t>(WordOfHead(kSidOffset).load(std::memory_order_acquire));
  if (IStringHolder* indexed = factory_.Owner().Remove(headSid)) {
    const bool self = indexed == this;
    // Out of the index, the holder is nobody's: a Free that fails on a
    // damaged table must not leave it behind.
    struct DestroyOnExit {
      IStringHolder* holder;
      ~DestroyOnExit() { holder->Destroy(); }
    } destroy{indexed};
    indexed->Free();
    if (self) return;
  }
  Free();
}

void StringHolderBase::Destroy() { delete this; }

InitMemAddress StringHolderBase::StoreString(std::string_view text, uint32_t headSize) {
  static constexpr uint8_t kEmpty = 0;
  const auto* bytes = text.empty() ? &kEmpty : reinterpret_cast<const uint8_t*>(text.data());
  const size_t length = text.empty() ? 1 : text.size();

  PageManager& pages = Pages(slot_);
  const InitMemAddress head = pages.Allocate(headSize);
  try {
    void* block = pages.GetPoint(head);
    WritePiece(block, bytes, std::min<size_t>(length, kPayloadSize));
    for (size_t start = kPayloadSize; start < length; start += kPayloadSize) {
      const InitMemAddress chunk = pages.Allocate(kChunkBlockSize);
      uint32_t expected = InitMemAddress::kNull;
      if (!Word(block, kNextOffset).compare_exchange_strong(expected, chunk.Value())) {
        pages.Release(chunk);
        STORAGE_ASSERT(false, kSourceFile, messages::shareddom::kStoreString,
                       messages::shareddom::kPreviousBlockUnchanged);
      }
      block = pages.GetPoint(chunk);
      WritePiece(block, bytes + start, std::min<size_t>(length - start, kPayloadSize));
    }
  } catch (...) {
    // Nothing of a string that could not be stored stays in the hives.
    ReleaseChain(pages, head);
    throw;
  }
  return head;
}

std::unique_ptr<std::string> StringHolderBase::ReadChain() {
  if (!SidMatches()) return nullptr;
  PageManager& pages = Pages(slot_);
  // Gathered here and copied out once, so that the text costs one allocation.
  std::array<char, kMaxChainBlocks * kPayloadSize> gathered;
  size_t length = 0;
  InitMemAddress address = head_.Address();
  for (size_t blocks = 0; !address.IsNull(); ++blocks) {
    // A chain freed meanwhile may link anywhere: such a read is given up,
    // and the SID tells a freed string from a damaged one.
    void* block = blocks == 0 ? head_.get() : pages.TryGetPoint(address, kChunkBlockSize);
    if (block == nullptr || blocks == kMaxChainBlocks) {
      if (!SidMatches()) return nullptr;
      throw InternalStructureException(kSourceFile, messages::shareddom::kStringHolderText, __LINE__,
                                       messages::shareddom::kStringChainDamaged);
    }
    ReadPiece(block, gathered.data() + length);
    length += kPayloadSize;
    address = InitMemAddress(Word(block, kNextOffset).load(std::memory_order_acquire));
  }
  if (!SidMatches()) return nullptr;

  // The text ends before its 0 terminator; a chain without one is all text.
  std::string_view text(gathered.data(), length);
  const size_t terminator = text.rfind('\0');
  if (terminator != std::string_view::npos) {
    const size_t last = text.find_last_not_of('\0', terminator);
    text = text.substr(0, last == std::string_view::npos ? 0 : last + 1);
  }
  return std::make_unique<std::string>(text);
}

void StringHolderBase::SetHead(const InitMemAddress& address) {
  head_.Assign(address);
  // Resolved here, before other threads can reach the holder, so that later
  // reads of the pointer never race with its first resolution.
  STORAGE_ASSERT(head_.get() != nullptr, kSourceFile, messages::shareddom::kStringHolderSetHead, nullptr);
}

std::atomic_ref<uint32_t> StringHolderBase::WordOfHead(uint32_t offset) { return Word(head_.get(), offset); }

void StringHolderBase::Publish() {
  WordOfHead(kCountOffset).exchange(1);
  WordOfHead(kSidOffset).exchange(static_cast<uint32_t>(Sid()));
}

bool StringHolderBase::SidMatches() {
  const int32_t own = Sid();
  // Only positive SIDs are issued; the fill words 0xCCCCCCCC and 0xDDDDDDDD
  // read as negative and never name a live string.
  if (own <= 0 || head_.Address().IsNull()) return false;
  return static_cast<int32_t>(WordOfHead(kSidOffset).load(std::memory_order_acquire)) == own;
}

void StringHolderBase::CacheText(std::string_view text) {
  auto copy = std::make_unique<std::string>(text);
  std::string* expected = nullptr;
  if (text_.compare_exchange_strong(expected, copy.get(), std::memory_order_acq_rel)) copy.release();
}

bool StringHolderBase::FreeShared() {
  const int32_t own = sid_.exchange(-1, std::memory_order_acq_rel);
  delete text_.exchange(nullptr, std::memory_order_acq_rel);
  if (own <= 0 || head_.Address().IsNull()) return false;
  // Only the holder that clears its own SID word tears the chain down: a head
  // freed already (and perhaps reused by another string) is left alone.
  uint32_t expected = static_cast<uint32_t>(own);
  if (!WordOfHead(kSidOffset).compare_exchange_strong(expected, kNoSid, std::memory_order_acq_rel))
    return false;
  ReleaseChain(Pages(slot_), head_.Address());
  return true;
}

}  // namespace storage
