// The part that both kinds of string holder share: the head block with its
// shared reference count and SID word, the scrambled chunk chain that carries
// a text (or a file path), and freeing.
//
// Shared layout (every word changed only atomically):
//   chunk block, 36 bytes: 0 next chunk address (null at the end), 4 payload
//     of 32 scrambled bytes;
//   head block, 44 bytes: 0 the first chunk (36 bytes), 36 reference count,
//     40 SID (0xCCCCCCCC while being built and once freed);
//   external head block, 48 bytes: the same, then 44 the text's hash.
// The block sizes tell the kinds apart when the string table scans its hives.
#ifndef SETTINGSTORE_SHAREDDOM_STRINGHOLDERBASE_H
#define SETTINGSTORE_SHAREDDOM_STRINGHOLDERBASE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "shareddom/IStringHolder.h"
#include "shm/InitMemAddress.h"
#include "shm/PageManager.h"
#include "shm/SharedPointer.h"

namespace storage {

class StringHolderFactory;

class StringHolderBase : public IStringHolder {
 public:
  static constexpr uint32_t kChunkBlockSize = 36;
  static constexpr uint32_t kHeadBlockSize = 44;
  static constexpr uint32_t kExternalHeadBlockSize = 48;
  static constexpr uint32_t kPayloadSize = 32;
  static constexpr uint32_t kNextOffset = 0;
  static constexpr uint32_t kPayloadOffset = 4;
  static constexpr uint32_t kCountOffset = 36;
  static constexpr uint32_t kSidOffset = 40;
  static constexpr uint32_t kHashOffset = 44;
  // The SID word of a head that carries no string.
  static constexpr uint32_t kNoSid = 0xCCCCCCCC;

  // Storing scrambles every byte so that no text sits in shared memory in the
  // clear; j is the byte's place in its 32-byte piece.
  static uint8_t Scramble(uint8_t byte, size_t j);
  static uint8_t Unscramble(uint8_t byte, size_t j);

  StringHolderBase(StringHolderFactory& factory, PageManager* const* slot, int32_t sid);
  ~StringHolderBase() override;
  StringHolderBase(const StringHolderBase&) = delete;
  StringHolderBase& operator=(const StringHolderBase&) = delete;

  void Bind(const InitMemAddress& address) override;
  void Free() override;
  int32_t CurrentSID() override;
  const std::string* Text() override;
  bool AddRef() override;
  void Release() override;
  void Destroy() override;

  // The head block's address; null before Create or Bind.
  const InitMemAddress& HeadAddress() const { return head_.Address(); }

 protected:
  // Stores the bytes of text as a chain whose head block has headSize bytes
  // and returns the head's address. An empty text is stored as one 0 byte.
  // A failure gives back every block taken so far.
  InitMemAddress StoreString(std::string_view text, uint32_t headSize);
  // The text of the chain that starts at the head; null when the string was
  // freed while it was being read.
  std::unique_ptr<std::string> ReadChain();
  // Reads the text from where this kind keeps it; null when the string is gone.
  virtual std::unique_ptr<std::string> ReadText() = 0;

  // Points the holder at its head block and resolves it in this process.
  void SetHead(const InitMemAddress& address);
  // The 32-bit word at this offset of the head block.
  std::atomic_ref<uint32_t> WordOfHead(uint32_t offset);
  // Publishes a string just stored: count 1, then the SID, so that a scan in
  // another process never takes a half-built string.
  void Publish();
  bool SidMatches();
  int32_t Sid() const { return sid_.load(std::memory_order_acquire); }
  StringHolderFactory& Factory() { return factory_; }
  // Stores a copy of text as the cached text, unless one is cached already.
  void CacheText(std::string_view text);
  // Marks this holder freed and, if its head still carries its SID, clears the
  // SID word and gives the chain back; true when it did the latter.
  bool FreeShared();

 private:
  SharedPointer head_;
  StringHolderFactory& factory_;
  PageManager* const* slot_;
  std::atomic<int32_t> sid_;
  // Set once by the first reader (or by Create), read by any thread after.
  std::atomic<std::string*> text_{nullptr};
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_STRINGHOLDERBASE_H
