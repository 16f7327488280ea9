// What this process remembers of the child lists of the sections it searched
// lately: child address by kind and name, as of one value of the section's
// change counter. An entry answers only while the counter has not moved, and
// a child it names is still checked (unmarked, same kind and name) before it
// is used, so a stale or damaged entry can cost a walk but never a wrong
// child. Each process bumps the counter before it changes a list, under the
// section's lock, so a list remembered as of the current count is the list:
// a name it lacks is absent. Lists that others change between searches are
// not remembered at all.
#ifndef SETTINGSTORE_SHAREDSTORAGE_CHILDINDEX_H
#define SETTINGSTORE_SHAREDSTORAGE_CHILDINDEX_H

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace storage {

class ChildIndex {
 public:
  using Children = std::unordered_map<uint64_t, uint32_t>;
  static constexpr uint32_t kUnknown = 0xCCCCCCCC;

  static uint64_t Key(uint32_t kindSid, uint32_t nameSid) { return uint64_t{kindSid} << 32 | nameSid; }

  struct Answer {
    bool known;      // the section is remembered as of this count
    uint32_t child;  // the child of that kind and name, or kUnknown: none
    uint32_t last;   // the last child of the list, or kUnknown: no children
  };
  // What is remembered of the section as of `changes`.
  static Answer find(uint32_t section, uint32_t changes, uint64_t key);
  // True when the section was walked before at this same count: its list
  // holds still, so the walk now under way is worth remembering.
  static bool worthRecording(uint32_t section, uint32_t changes);
  static void record(uint32_t section, uint32_t changes, Children children, uint32_t last);
  // A child this process appended, moving the count from `before` to
  // `after`: remembered when the section was remembered as of `before`.
  static void appended(uint32_t section, uint32_t before, uint32_t after, uint64_t key, uint32_t child);
  // Forgets everything; for the teardown of the storage.
  static void clear();

 private:
  struct Entry {
    uint32_t changes = 0;
    bool recorded = false;
    Children children;
    uint32_t last = kUnknown;
  };
  // Beyond this many sections everything is forgotten at once.
  static constexpr size_t kMaxSections = 4096;

  static std::mutex mutex_;
  static std::unordered_map<uint32_t, Entry> sections_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDSTORAGE_CHILDINDEX_H
