// Runs one storage call under the heartbeat board and sorts its outcome:
// success, an error that concurrent work legitimately meets (counted), or a
// failure of the run (reported to the controller).
#ifndef SETTINGSTORE_TOOLS_STRESS_OUTCOME_H
#define SETTINGSTORE_TOOLS_STRESS_OUTCOME_H

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <string>

#include "Board.h"
#include "Counters.h"

namespace stress {

class Outcome {
 public:
  using Sink = std::function<void(const std::string& line)>;

  // Failures go to `sink` as "fail ..." lines. `notFoundCode` is the code with
  // which the backend reports a missing name on open: -2 in the shared DOM,
  // -6 in the XML backend.
  Outcome(Board& board, size_t slot, size_t thread, std::atomic<uint64_t>& failures, Sink sink,
          int32_t notFoundCode = -2)
      : board_(board),
        slot_(slot),
        thread_(thread),
        failures_(failures),
        sink_(std::move(sink)),
        notFoundCode_(notFoundCode) {}

  // Reports a failure of the run: to the controller and on standard error.
  void Fail(const std::string& text);

  // Runs `call`; true when it returned. An exception with one of `allowed`
  // codes is counted and gives false; any other exception is a failure.
  template <class Call>
  bool Attempt(OpKind kind, const std::string& place, const std::string& key,
               std::initializer_list<int32_t> allowed, Call&& call) {
    try {
      BeatScope beat(board_, slot_, thread_, kind, place, key);
      call();
      return true;
    } catch (...) {
      Classify(std::current_exception(), kind, place, key, allowed);
      return false;
    }
  }

  Board& board() { return board_; }
  size_t slot() const { return slot_; }
  size_t thread() const { return thread_; }

 private:
  void Classify(std::exception_ptr error, OpKind kind, const std::string& place, const std::string& key,
                std::initializer_list<int32_t> allowed);

  Board& board_;
  size_t slot_;
  size_t thread_;
  std::atomic<uint64_t>& failures_;
  Sink sink_;
  int32_t notFoundCode_;
};

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_OUTCOME_H
