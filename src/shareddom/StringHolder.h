// A string whose text lives in shared memory, as a scrambled chunk chain.
#ifndef SETTINGSTORE_SHAREDDOM_STRINGHOLDER_H
#define SETTINGSTORE_SHAREDDOM_STRINGHOLDER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "shareddom/StringHolderBase.h"

namespace storage {

class StringHolder : public StringHolderBase {
 public:
  using StringHolderBase::StringHolderBase;

  void Create(std::string_view text) override;
  int32_t Hash() override;

 protected:
  std::unique_ptr<std::string> ReadText() override;

 private:
  // 0 until computed; a text whose hash is 0 is simply hashed again.
  std::atomic<int32_t> hash_{0};
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_STRINGHOLDER_H
