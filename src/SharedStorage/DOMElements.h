// The process-wide start and end of the shared DOM: its three singletons (the
// node factory, the string table and the access controller) and the SIDs of
// the strings that the tree itself uses for kinds, attribute names and the
// values of a new key.
#ifndef SETTINGSTORE_SHAREDSTORAGE_DOMELEMENTS_H
#define SETTINGSTORE_SHAREDSTORAGE_DOMELEMENTS_H

#include <cstdint>

namespace storage {

// The SID of each well-known string, or kNoSid when the table gave none.
struct WellKnownSids {
  static constexpr uint32_t kNoSid = 0xFFFFFFFF;

  uint32_t section = kNoSid;
  uint32_t key = kNoSid;
  uint32_t name = kNoSid;
  uint32_t size = kNoSid;
  uint32_t type = kNoSid;
  uint32_t four = kNoSid;
  uint32_t integer = kNoSid;
  uint32_t string = kNoSid;
  uint32_t binary = kNoSid;
  uint32_t value = kNoSid;
  uint32_t multivalue = kNoSid;
  uint32_t unknown = kNoSid;
  uint32_t zero = kNoSid;
};

class DOMElement {
 public:
  // Brings up, in this order, the node factory (which loads or creates the
  // tree), the string table and the access controller, then registers the
  // well-known strings, each keeping one extra reference for the life of the
  // storage. Refused (AssertException) while the process has them already.
  // A failure tears down whatever this call had built, so it may be retried.
  static void Initialize(const char* nodeNamePrefix, const char* nodeFilePrefix, const char* stringNamePrefix,
                         const char* stringFilePath, const char* accessName);
  // Destroys the access controller, the string table and the node factory,
  // in that order; does nothing when they do not exist.
  static void Deinitialize();

  // Valid between Initialize and Deinitialize; written before any other
  // thread of the process uses the shared DOM.
  static const WellKnownSids& Sids() { return sids_; }

 private:
  static void registerWellKnownStrings();

  static WellKnownSids sids_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDSTORAGE_DOMELEMENTS_H
