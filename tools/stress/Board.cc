#include "Board.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace stress {

namespace {

constexpr uint32_t kMagic = 0x53545253;  // "STRS"
constexpr size_t kTextLength = 64;

template <class T>
std::atomic_ref<T> Word(T& word) {
  return std::atomic_ref<T>(word);
}

}  // namespace

struct Board::Layout {
  struct Thread {
    // 0 while idle; the operation's description is written before this word
    // is published and is stable while it stays the same.
    uint64_t started;
    uint32_t kind;
    uint32_t padding;
    char place[kTextLength];
    char key[kTextLength];
    uint64_t operations[kOpKinds];
    uint64_t expected[kExpectedCodes.size()];
    uint64_t failures;
  };
  struct Slot {
    uint32_t worker;
    uint32_t padding;
    Thread threads[kMaxThreads];
  };
  uint32_t magic;
  uint32_t stop;
  Slot slots[kMaxSlots];
};

uint64_t NowNanoseconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

Board::Board(int fd, Layout* layout) : fd_(fd), layout_(layout) {}

Board::Board(Board&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), layout_(std::exchange(other.layout_, nullptr)) {}

Board::~Board() {
  if (layout_ != nullptr) munmap(layout_, sizeof(Layout));
  if (fd_ >= 0) close(fd_);
}

Board Board::Create(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, sizeof(Layout)) != 0)
    throw std::runtime_error("cannot create the heartbeat board " + path);
  void* memory = mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) {
    close(fd);
    throw std::runtime_error("cannot map the heartbeat board " + path);
  }
  auto* layout = static_cast<Layout*>(memory);
  Word(layout->magic).store(kMagic, std::memory_order_release);
  return Board(fd, layout);
}

Board Board::Attach(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open the heartbeat board " + path);
  void* memory = mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) {
    close(fd);
    throw std::runtime_error("cannot map the heartbeat board " + path);
  }
  auto* layout = static_cast<Layout*>(memory);
  if (Word(layout->magic).load(std::memory_order_acquire) != kMagic) {
    munmap(memory, sizeof(Layout));
    close(fd);
    throw std::runtime_error("not a heartbeat board: " + path);
  }
  return Board(fd, layout);
}

void Board::Begin(size_t slot, size_t thread, OpKind kind, const std::string& place, const std::string& key) {
  Layout::Thread& beat = layout_->slots[slot].threads[thread];
  Word(beat.started).store(0, std::memory_order_release);
  for (size_t i = 0; i < kTextLength; ++i) {
    Word(beat.place[i])
        .store(i < place.size() && i + 1 < kTextLength ? place[i] : '\0', std::memory_order_relaxed);
    Word(beat.key[i]).store(i < key.size() && i + 1 < kTextLength ? key[i] : '\0', std::memory_order_relaxed);
  }
  Word(beat.kind).store(static_cast<uint32_t>(kind), std::memory_order_relaxed);
  Word(beat.started).store(NowNanoseconds(), std::memory_order_release);
}

void Board::End(size_t slot, size_t thread, OpKind kind) {
  Layout::Thread& beat = layout_->slots[slot].threads[thread];
  Word(beat.started).store(0, std::memory_order_release);
  Word(beat.operations[static_cast<size_t>(kind)]).fetch_add(1, std::memory_order_relaxed);
}

void Board::CountExpected(size_t slot, size_t thread, size_t codeIndex) {
  Word(layout_->slots[slot].threads[thread].expected[codeIndex]).fetch_add(1, std::memory_order_relaxed);
}

void Board::CountFailure(size_t slot, size_t thread) {
  Word(layout_->slots[slot].threads[thread].failures).fetch_add(1, std::memory_order_relaxed);
}

bool Board::StopRequested() const { return Word(layout_->stop).load(std::memory_order_acquire) != 0; }

void Board::RequestStop() { Word(layout_->stop).store(1, std::memory_order_release); }

void Board::ResetSlot(size_t slot, uint32_t worker) {
  Layout::Slot& entry = layout_->slots[slot];
  for (Layout::Thread& beat : entry.threads) {
    Word(beat.started).store(0, std::memory_order_relaxed);
    for (uint64_t& count : beat.operations) Word(count).store(0, std::memory_order_relaxed);
    for (uint64_t& count : beat.expected) Word(count).store(0, std::memory_order_relaxed);
    Word(beat.failures).store(0, std::memory_order_relaxed);
  }
  Word(entry.worker).store(worker, std::memory_order_release);
}

Counters Board::SlotCounters(size_t slot) const {
  Counters total;
  for (Layout::Thread& beat : layout_->slots[slot].threads) {
    for (size_t i = 0; i < kOpKinds; ++i)
      total.operations[i] += Word(beat.operations[i]).load(std::memory_order_relaxed);
    for (size_t i = 0; i < kExpectedCodes.size(); ++i)
      total.expected[i] += Word(beat.expected[i]).load(std::memory_order_relaxed);
    total.failures += Word(beat.failures).load(std::memory_order_relaxed);
  }
  return total;
}

std::vector<InFlight> Board::Running(double limitSeconds) const {
  std::vector<InFlight> running;
  const uint64_t now = NowNanoseconds();
  for (size_t slot = 0; slot < kMaxSlots; ++slot) {
    Layout::Slot& entry = layout_->slots[slot];
    for (size_t thread = 0; thread < kMaxThreads; ++thread) {
      Layout::Thread& beat = entry.threads[thread];
      const uint64_t started = Word(beat.started).load(std::memory_order_acquire);
      if (started == 0 || started > now) continue;
      const double seconds = static_cast<double>(now - started) / 1e9;
      if (seconds < limitSeconds) continue;
      InFlight op;
      op.slot = slot;
      op.thread = thread;
      op.worker = Word(entry.worker).load(std::memory_order_relaxed);
      op.kind = static_cast<OpKind>(Word(beat.kind).load(std::memory_order_relaxed));
      for (size_t i = 0; i < kTextLength; ++i) {
        const char p = Word(beat.place[i]).load(std::memory_order_relaxed);
        if (p == '\0') break;
        op.place += p;
      }
      for (size_t i = 0; i < kTextLength; ++i) {
        const char k = Word(beat.key[i]).load(std::memory_order_relaxed);
        if (k == '\0') break;
        op.key += k;
      }
      op.seconds = seconds;
      op.started = started;
      // A description changed under us belongs to a newer, short operation.
      if (Word(beat.started).load(std::memory_order_acquire) != started) continue;
      running.push_back(std::move(op));
    }
  }
  return running;
}

}  // namespace stress
