#include "base/NamesEnumerator.h"

#include <stdexcept>
#include "base/Messages.h"

namespace storage {

void NamesEnumerator::Add(const char* name) {
  if (name == nullptr) throw std::invalid_argument(messages::base::kNamesEnumeratorNullName);
  names_.emplace_back(name);
}

void NamesEnumerator::Reset() { position_ = 0; }

bool NamesEnumerator::Next() {
  // The cursor stops one past the end instead of rising further, so that
  // endless calls never wrap it round to the first name.
  if (position_ <= names_.size()) ++position_;
  return position_ - 1 < names_.size();
}

const char* NamesEnumerator::Current() {
  // Unsigned: position 0 wraps to the largest index and is out of range too.
  size_t index = position_ - 1u;
  if (index >= names_.size()) throw std::logic_error(messages::base::kOutOfVectorRange);
  return names_[index].c_str();
}

}  // namespace storage
