// The names enumerator that every backend hands out for EnumKeys and
// EnumSections: a snapshot of names walked with a cursor.
#ifndef SETTINGSTORE_BASE_NAMESENUMERATOR_H
#define SETTINGSTORE_BASE_NAMESENUMERATOR_H

#include <cstdint>
#include <string>
#include <vector>

#include "base/RefCounted.h"
#include "storage/storage.h"

namespace storage {

// Filled by a backend with add(), then handed out with its one reference;
// from then on its names never change, so a Current() text stays valid for
// the enumerator's life. Not for concurrent use.
class NamesEnumerator : public INamesEnumerator, public RefCounted {
 public:
  NamesEnumerator() = default;

  // Appends a copy of the name (empty names are kept). Throws
  // std::invalid_argument for a null name.
  void Add(const char* name);

  void Reset() override;
  // Moves to the next name; false when there is none.
  bool Next() override;
  // The name at the cursor; std::logic_error("Out of vector range") before the
  // first Next() and after the last name.
  const char* Current() override;

 private:
  ~NamesEnumerator() override = default;  // only Release destroys it

  std::vector<std::string> names_;
  // 0 is before the first name; p designates names_[p - 1].
  uint32_t position_ = 0;
};

}  // namespace storage

#endif  // SETTINGSTORE_BASE_NAMESENUMERATOR_H
