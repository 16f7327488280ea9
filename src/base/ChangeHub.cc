#include "base/ChangeHub.h"

#include <utility>

#include "platform/Platform.h"

namespace storage {

namespace {

constexpr uint32_t kSleeperBit = 1;
constexpr uint32_t kOne = 2;
// How long the outside watch waits before it looks whether to stop.
constexpr uint32_t kOutsideSliceMs = 50;

std::atomic_ref<uint32_t> Word(uint32_t* word) { return std::atomic_ref<uint32_t>(*word); }

}  // namespace

ChangeHub::ChangeHub(uint32_t* sharedWord, OutsideWatchMaker outside, bool outsideReplaces)
    : word_(sharedWord != nullptr ? sharedWord : &ownWord_),
      makeOutside_(std::move(outside)),
      outsideReplaces_(outsideReplaces) {}

ChangeHub::~ChangeHub() {
  std::lock_guard guard(attachMutex_);
  stopOutside_ = true;
  if (outside_.joinable()) outside_.join();
}

void ChangeHub::Count() {
  uint32_t* word = word_.load();
  const uint32_t before = Word(word).fetch_add(kOne);
  if ((before & kSleeperBit) == 0) return;
  Word(word).fetch_and(~kSleeperBit);
  platform::WakeWordWaiters(word);
}

uint32_t ChangeHub::Changes() const { return Word(word_.load()).load() >> 1; }

void ChangeHub::WaitPast(uint32_t seen, uint32_t milliseconds) {
  uint32_t* word;
  uint32_t expected;
  {
    std::lock_guard guard(wordMutex_);
    word = word_.load();
    expected = Word(word).load();
    for (;;) {
      if ((expected >> 1) != seen || closed_.load()) return;
      if ((expected & kSleeperBit) != 0) break;
      // A change between the load and here fails the exchange.
      if (Word(word).compare_exchange_weak(expected, expected | kSleeperBit)) {
        expected |= kSleeperBit;
        break;
      }
    }
  }
  // Returns at once when the word moved since; the kernel copes with a word
  // whose memory Close let go meanwhile.
  platform::WaitOnWord(word, expected, milliseconds);
}

void ChangeHub::Attach() {
  std::lock_guard guard(attachMutex_);
  if (attached_++ > 0 || !makeOutside_ || closed_.load()) return;
  if (outside_.joinable()) outside_.join();
  stopOutside_ = false;
  outside_ = std::thread(&ChangeHub::RunOutside, this, makeOutside_());
}

void ChangeHub::Detach() {
  std::lock_guard guard(attachMutex_);
  if (--attached_ > 0) return;
  stopOutside_ = true;
  if (outside_.joinable()) outside_.join();
}

void ChangeHub::RunOutside(OutsideWait wait) {
  while (!stopOutside_.load()) {
    if (!wait(kOutsideSliceMs)) continue;
    if (outsideReplaces_) replacements_.fetch_add(1);
    Count();
  }
}

void ChangeHub::Close() {
  {
    std::lock_guard guard(wordMutex_);
    closed_ = true;
    uint32_t* shared = word_.exchange(&ownWord_);
    platform::WakeWordWaiters(shared);
  }
  Count();
}

}  // namespace storage
