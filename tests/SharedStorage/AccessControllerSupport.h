// What the access controller tests and their helper commands share: the
// node addresses used as keys, a reader of the list of traits records, and
// the helper's exit codes.
#ifndef SETTINGSTORE_TESTS_SHAREDSTORAGE_ACCESSCONTROLLERSUPPORT_H
#define SETTINGSTORE_TESTS_SHAREDSTORAGE_ACCESSCONTROLLERSUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "shareddom/MemAccessController.h"

namespace settingstore::test {

enum AccessHelperExit : int {
  kAccessDone = 0,
  kAccessMismatch = 1,  // a record was not where, or not as, the test said
  kAccessThrew = 2,
  kAccessBadArguments = 3,
  kAccessNoGoSign = 4,
};

// A node address to key records with: hive 1, a 16-byte node at slot i.
inline storage::InitMemAddress NodeAddress(uint32_t i) {
  return storage::InitMemAddress(1, static_cast<int>(16 * i));
}

// Addresses travel to the helper as decimal words.
inline std::string Word(const storage::InitMemAddress& address) { return std::to_string(address.value()); }
inline storage::InitMemAddress ParseWord(const std::string& text) {
  return storage::InitMemAddress(static_cast<uint32_t>(std::stoul(text)));
}

struct ListedTraits {
  storage::InitMemAddress address;
  uint32_t key;
  uint32_t references;
};

// The traits records in list order, read through the controller's region.
inline std::vector<ListedTraits> ListTraits(storage::MemAccessController& controller) {
  std::vector<ListedTraits> records;
  storage::InitMemAddress at(controller.root().headWord().load());
  while (!at.isNull()) {
    storage::AccessTraits& record = controller.traits(at);
    records.push_back({at, record.keyWord().load(), record.referencesWord().load()});
    at = storage::InitMemAddress(record.nextWord().load());
  }
  return records;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDSTORAGE_ACCESSCONTROLLERSUPPORT_H
