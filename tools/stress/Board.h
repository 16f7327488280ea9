// The heartbeat board: a small file that the controller and every worker map.
// Each worker thread publishes the operation it is in (kind, section, key,
// start time) and its counters there, so that the controller sees what a
// stuck or killed process was doing without asking it.
#ifndef SETTINGSTORE_TOOLS_STRESS_BOARD_H
#define SETTINGSTORE_TOOLS_STRESS_BOARD_H

#include <cstdint>
#include <string>
#include <vector>

#include "Counters.h"

namespace stress {

constexpr size_t kMaxSlots = 33;  // 32 workers and the verifier
constexpr size_t kMaxThreads = 16;
constexpr size_t kVerifierSlot = kMaxSlots - 1;

// One operation in flight, as the controller sees it.
struct InFlight {
  size_t slot = 0;
  size_t thread = 0;
  uint32_t worker = 0;
  OpKind kind = OpKind::kNone;
  std::string place;
  std::string key;
  double seconds = 0;    // how long it has run
  uint64_t started = 0;  // NowNanoseconds() at its start: with worker and thread, its identity
};

// Monotonic nanoseconds, comparable between processes of one machine.
uint64_t NowNanoseconds();

class Board {
 public:
  // The controller makes the file; workers attach to it.
  static Board Create(const std::string& path);
  static Board Attach(const std::string& path);
  Board(Board&& other) noexcept;
  Board& operator=(Board&&) = delete;
  Board(const Board&) = delete;
  ~Board();

  // Worker side.
  void Begin(size_t slot, size_t thread, OpKind kind, const std::string& place, const std::string& key);
  void End(size_t slot, size_t thread, OpKind kind);
  void CountExpected(size_t slot, size_t thread, size_t codeIndex);
  void CountFailure(size_t slot, size_t thread);
  bool StopRequested() const;

  // Controller side.
  void RequestStop();
  // Clears a slot's counters and names the worker that will use it.
  void ResetSlot(size_t slot, uint32_t worker);
  Counters SlotCounters(size_t slot) const;
  // Operations that have run longer than `limitSeconds`, or all with 0.
  std::vector<InFlight> Running(double limitSeconds) const;

 private:
  struct Layout;
  Board(int fd, Layout* layout);

  int fd_ = -1;
  Layout* layout_ = nullptr;
};

// Holds a board entry for the length of one operation.
class BeatScope {
 public:
  BeatScope(Board& board, size_t slot, size_t thread, OpKind kind, const std::string& place,
            const std::string& key)
      : board_(board), slot_(slot), thread_(thread), kind_(kind) {
    board_.Begin(slot, thread, kind, place, key);
  }
  ~BeatScope() { board_.End(slot_, thread_, kind_); }
  BeatScope(const BeatScope&) = delete;
  BeatScope& operator=(const BeatScope&) = delete;

 private:
  Board& board_;
  size_t slot_;
  size_t thread_;
  OpKind kind_;
};

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_BOARD_H
