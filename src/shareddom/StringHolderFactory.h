// Makes the string holders of one string table and computes the hash by
// which the table finds texts without regard to case.
#ifndef SETTINGSTORE_SHAREDDOM_STRINGHOLDERFACTORY_H
#define SETTINGSTORE_SHAREDDOM_STRINGHOLDERFACTORY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "shareddom/IStringHolder.h"
#include "shm/InitMemAddress.h"
#include "shm/PageManager.h"

namespace storage {

class StringHolderFactory {
 public:
  // Texts of this many bytes or more are kept in external files.
  static constexpr size_t kExternalThreshold = 1024;

  // slot holds the page manager of the table's hives; it may be filled in
  // after the factory is made, but before the first holder is used.
  StringHolderFactory(IStringHolderOwner& owner, PageManager* const* slot);

  // A new string with this SID and text, holding one reference: in shared
  // memory below the threshold, in an external file from it on.
  std::unique_ptr<IStringHolder> Create(int32_t sid, std::string_view text);
  // A holder for the head block found at this address with this block size
  // (44: in shared memory, 48: external), bound to it and carrying the SID
  // the head holds now; null for any other size.
  std::unique_ptr<IStringHolder> CreateFromBlock(const InitMemAddress& address, int32_t size);

  // The hash of the lower-cased text: texts that differ only in ASCII case
  // have the same hash. The empty text hashes to 0.
  static uint32_t GetHash(std::string_view text);

  IStringHolderOwner& Owner() { return owner_; }

 private:
  IStringHolderOwner& owner_;
  PageManager* const* slot_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_STRINGHOLDERFACTORY_H
