// The checksum of shared memory: one 32-bit value from the framework's hash
// builder, over a segment's payload or a hive's data area.
#ifndef SETTINGSTORE_BASE_HASHHELPER_H
#define SETTINGSTORE_BASE_HASHHELPER_H

#include <cstddef>
#include <cstdint>

#include "base/Hash.h"

namespace storage::hash {

template <HashType kType>
class HashHelper;

// Hash type 0. Holds the builder for its own lifetime; one helper may compute
// any number of results.
template <>
class HashHelper<kHashTypeXxh32> {
 public:
  // Raises AssertException when the framework has no builder of type 0.
  HashHelper();
  ~HashHelper();
  HashHelper(const HashHelper&) = delete;
  HashHelper& operator=(const HashHelper&) = delete;

  // The hash of size bytes at data: the builder's 4 result bytes in memory
  // order, so that a word stored in a file reads back the same everywhere.
  // Raises AssertException when the builder gives no result.
  uint32_t Compute(const void* data, size_t size);

  // The same value as Compute over the pieces given in order, so that data
  // can be hashed piece by piece while it is still in the cache.
  class Running {
   public:
    Running();
    ~Running();
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    void Add(const void* data, size_t size);
    uint32_t Result() const;

   private:
    void* state_;
  };

 private:
  HashBuilder* builder_;
};

}  // namespace storage::hash

#endif  // SETTINGSTORE_BASE_HASHHELPER_H
