// How the watches of this process learn that a storage changed: a count that
// every change moves, and a way to sleep until it moves.
#ifndef SETTINGSTORE_BASE_CHANGEHUB_H
#define SETTINGSTORE_BASE_CHANGEHUB_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace storage {

// The count lives in one 32-bit word, which may lie in memory that several
// processes map: bits 1..31 count, bit 0 says that someone sleeps on the
// word. A change with no one asleep costs one atomic add; the first change
// after someone fell asleep also clears the bit and wakes the sleepers, so a
// sleeper that was killed costs at most one wake.
//
// Changes that no code of this process makes (another process writing a
// file or a database) reach the count through an outside watch, which runs
// on a thread of the hub's own while any watch is attached.
class ChangeHub {
 public:
  // Waits up to the time for a change from outside; true when one may have
  // happened since the previous call.
  using OutsideWait = std::function<bool(uint32_t milliseconds)>;
  // Makes the outside watch; called when the first watch attaches, before
  // that watch first looks at the storage.
  using OutsideWatchMaker = std::function<OutsideWait()>;

  // Counts in `sharedWord`, or in a word of its own when null. A change
  // reported from outside is a replacement when `outsideReplaces`: what this
  // process reads did not change, so a watch cannot see it and reports it
  // as it is.
  explicit ChangeHub(uint32_t* sharedWord = nullptr, OutsideWatchMaker outside = {}, bool outsideReplaces = false);
  ~ChangeHub();
  ChangeHub(const ChangeHub&) = delete;
  ChangeHub& operator=(const ChangeHub&) = delete;

  // A change of this process, once other threads and processes can see it.
  void Count();
  uint32_t Changes() const;
  uint32_t Replacements() const { return replacements_.load(); }
  // Sleeps until Changes() is no longer `seen`, or the time is over.
  void WaitPast(uint32_t seen, uint32_t milliseconds);

  void Attach();
  void Detach();

  // The storage is going away: the shared word is let go (sleepers wake and
  // nobody reads it again), and every watch learns that it ended.
  void Close();
  bool Closed() const { return closed_.load(); }

 private:
  void RunOutside(OutsideWait wait);

  uint32_t ownWord_ = 0;
  std::atomic<uint32_t*> word_;
  std::atomic<uint32_t> replacements_{0};
  std::atomic<bool> closed_{false};
  std::mutex wordMutex_;  // a sleeper reads the word only while Close cannot run

  OutsideWatchMaker makeOutside_;
  const bool outsideReplaces_;
  std::mutex attachMutex_;
  int attached_ = 0;
  std::atomic<bool> stopOutside_{false};
  std::thread outside_;
};

}  // namespace storage

#endif  // SETTINGSTORE_BASE_CHANGEHUB_H
