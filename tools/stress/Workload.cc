#include "Workload.h"

#include <cctype>
#include <charconv>

namespace stress {

namespace {

// Whether `name` is `prefix` followed by decimal digits only, and their value.
bool NumberAfter(const std::string& name, const char* prefix, int& number) {
  const std::string start(prefix);
  if (name.size() <= start.size() || name.compare(0, start.size(), start) != 0) return false;
  const char* first = name.data() + start.size();
  const char* last = name.data() + name.size();
  if (!std::isdigit(static_cast<unsigned char>(*first))) return false;
  auto [end, error] = std::from_chars(first, last, number);
  return error == std::errc() && end == last;
}

}  // namespace

std::string TopSection(int index) { return "s" + std::to_string(index); }

std::string SubSection(int top, int index) { return TopSection(top) + "/sub" + std::to_string(index); }

std::string SharedKey(int index) { return "k" + std::to_string(index); }

std::string OwnedKey(uint32_t worker, size_t thread, int index) {
  return "o" + std::to_string(worker) + "-" + std::to_string(thread) + "-" + std::to_string(index);
}

std::string OwnedPlace(uint32_t worker, size_t thread, int index, int sections) {
  return TopSection(static_cast<int>((worker * 7 + thread * 3 + static_cast<size_t>(index)) %
                                     static_cast<size_t>(sections)));
}

bool KnownSectionName(const std::string& name, int depth, int sections) {
  int number = 0;
  if (depth == 1) return NumberAfter(name, "s", number) && number < sections;
  if (depth == 2) return NumberAfter(name, "sub", number) && number < kSubSections;
  return false;
}

bool KnownKeyName(const std::string& name) {
  int number = 0;
  if (NumberAfter(name, "k", number)) return number < kSharedKeys;
  // "o<worker>-<thread>-<index>"
  if (name.empty() || name[0] != 'o') return false;
  int parts = 1;
  bool digits = false;
  for (size_t i = 1; i < name.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(name[i]))) {
      digits = true;
    } else if (name[i] == '-' && digits) {
      ++parts;
      digits = false;
    } else {
      return false;
    }
  }
  return parts == 3 && digits;
}

}  // namespace stress
