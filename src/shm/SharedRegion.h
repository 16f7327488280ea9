// A named block of shared memory: a 64-byte header, then the payload that
// its owner lays out. Every process that opens the same name sees the same
// bytes, each at its own address.
#ifndef SETTINGSTORE_SHM_SHAREDREGION_H
#define SETTINGSTORE_SHM_SHAREDREGION_H

#include <cstdint>

namespace storage {

class SharedRegion {
 public:
  // Releases one level of the creation lock that opening left held.
  virtual void Unlock() = 0;
  // The payload, behind the header, in this process.
  virtual void* GetData() = 0;
  virtual uint32_t GetDataSize() = 0;
  // Close(), then destroys the object.
  virtual void Release() = 0;
  virtual ~SharedRegion() = default;
  // Ends this process's use of the segment.
  virtual void Close() = 0;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHM_SHAREDREGION_H
