#include "shareddom/StringHolderFactory.h"

#include <array>
#include <stdexcept>
#include <vector>

#include "base/Exceptions.h"
#include "base/Hash.h"
#include "shareddom/ExternalStringHolder.h"
#include "shareddom/Messages.h"
#include "shareddom/StringHolder.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shareddom::kStringHolderFactoryFile;
constexpr const char* kGetHash = messages::shareddom::kStringHolderFactoryGetHash;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Hashes the bytes with the framework's hash type 0.
uint32_t HashBytes(const char* bytes, size_t size) {
  hash::HashBuilder* builder = hash::Factory::GetBuilderInstance(hash::kHashTypeXxh32);
  STORAGE_ASSERT(builder != nullptr, kSourceFile, kGetHash, nullptr);
  hash::HashFunction* result = builder->Build(bytes, size);
  if (result == nullptr) builder->Release();
  STORAGE_ASSERT(result != nullptr, kSourceFile, kGetHash, nullptr);
  uint32_t value = 0;
  const bool delivered =
      result->GetSize() == sizeof value && result->GetResult(&value, sizeof value) == sizeof value;
  result->Release();
  builder->Release();
  STORAGE_ASSERT(delivered, kSourceFile, kGetHash, nullptr);
  return value;
}

}  // namespace

StringHolderFactory::StringHolderFactory(IStringHolderOwner& owner, PageManager* const* slot)
    : owner_(owner), slot_(slot) {}

std::unique_ptr<IStringHolder> StringHolderFactory::Create(int32_t sid, std::string_view text) {
  std::unique_ptr<IStringHolder> holder;
  if (text.size() < kExternalThreshold) {
    holder = std::make_unique<StringHolder>(*this, slot_, sid);
  } else {
    holder = std::make_unique<ExternalStringHolder>(*this, slot_, sid);
  }
  holder->Create(text);
  return holder;
}

std::unique_ptr<IStringHolder> StringHolderFactory::CreateFromBlock(const InitMemAddress& address,
                                                                    int32_t size) {
  if (size != static_cast<int32_t>(StringHolderBase::kHeadBlockSize) &&
      size != static_cast<int32_t>(StringHolderBase::kExternalHeadBlockSize)) {
    return nullptr;
  }
  if (slot_ == nullptr || *slot_ == nullptr) throw std::runtime_error(messages::shareddom::kMemoryManagerNull);
  auto* head = static_cast<uint8_t*>((*slot_)->GetPoint(address));
  if (head == nullptr) return nullptr;
  const auto sid = static_cast<int32_t>(
      std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(head + StringHolderBase::kSidOffset))
          .load(std::memory_order_acquire));
  std::unique_ptr<IStringHolder> holder;
  if (size == static_cast<int32_t>(StringHolderBase::kHeadBlockSize)) {
    holder = std::make_unique<StringHolder>(*this, slot_, sid);
  } else {
    holder = std::make_unique<ExternalStringHolder>(*this, slot_, sid);
  }
  holder->Bind(address);
  return holder;
}

uint32_t StringHolderFactory::GetHash(std::string_view text) {
  if (text.empty()) return 0;
  // Every call hashes its own lower-cased copy; short texts, the common case,
  // stay off the heap.
  std::array<char, 256> small;
  std::vector<char> large;
  char* copy = small.data();
  if (text.size() > small.size()) {
    large.resize(text.size());
    copy = large.data();
  }
  for (size_t i = 0; i < text.size(); ++i) copy[i] = LowerAscii(text[i]);
  return HashBytes(copy, text.size());
}

}  // namespace storage
