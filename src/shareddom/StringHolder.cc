#include "shareddom/StringHolder.h"

#include "shareddom/StringHolderFactory.h"

namespace storage {

void StringHolder::Create(std::string_view text) {
  CacheText(text);
  SetHead(StoreString(text, kHeadBlockSize));
  Publish();
}

int32_t StringHolder::Hash() {
  if (!SidMatches()) return -1;
  if (const int32_t cached = hash_.load(std::memory_order_relaxed); cached != 0) return cached;
  const std::string* text = Text();
  if (text == nullptr) return -1;
  const auto hash = static_cast<int32_t>(StringHolderFactory::GetHash(*text));
  hash_.store(hash, std::memory_order_relaxed);
  return hash;
}

std::unique_ptr<std::string> StringHolder::ReadText() { return ReadChain(); }

}  // namespace storage
