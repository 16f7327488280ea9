#include "KeyCheck.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <vector>

namespace stress {

namespace {

constexpr size_t kReadBuffer = 8192;
// Filled in before each read so that a missing terminator shows.
constexpr char kFiller = static_cast<char>(0xAB);

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

KeyReading ReadKey(storage::IStorageKey& key, const std::string& place, const std::string& name,
                   Outcome& outcome, bool exclusive) {
  const std::string location = place + "/" + name;
  const std::initializer_list<int32_t> none = {};
  const std::initializer_list<int32_t> raced = {-1, -4, -10};
  KeyReading reading;
  storage::Type before = storage::TYPE_UNKNOWN;
  storage::Type after = storage::TYPE_UNKNOWN;
  std::vector<char> buffer(kReadBuffer, kFiller);
  bool read = false;
  if (!outcome.Attempt(OpKind::kGetType, place, name, exclusive ? none : std::initializer_list<int32_t>{-1},
                       [&] { before = key.GetType(); })) {
    reading.result = KeyReading::kRefused;
    return reading;
  }
  if (before == storage::TYPE_UNKNOWN && !exclusive) {
    reading.result = KeyReading::kUnwritten;
    return reading;
  }
  if (!outcome.Attempt(OpKind::kRead, place, name, exclusive ? none : raced,
                       [&] { read = key.Read(buffer.data(), kReadBuffer); }) ||
      !outcome.Attempt(OpKind::kGetType, place, name, exclusive ? none : std::initializer_list<int32_t>{-1},
                       [&] { after = key.GetType(); })) {
    reading.result = KeyReading::kRefused;
    return reading;
  }
  if (!read) {
    outcome.Fail("Read of " + location + " returned false into " + std::to_string(kReadBuffer) + " bytes");
    return reading;
  }
  std::vector<storage::Type> candidates = {before};
  if (after != before) candidates.push_back(after);
  // An integer has too small a check to be tried on a guess.
  for (storage::Type type : {storage::TYPE_STRING, storage::TYPE_MULTI_STRING, storage::TYPE_BINARY})
    if (!exclusive && std::find(candidates.begin(), candidates.end(), type) == candidates.end())
      candidates.push_back(type);
  std::string firstWhy;
  for (storage::Type type : candidates) {
    std::string why;
    if (auto stamp = Decode(type, buffer.data(), buffer.size(), location, why)) {
      reading.result = KeyReading::kChecked;
      reading.stamp = std::move(stamp);
      return reading;
    }
    if (firstWhy.empty()) firstWhy = why;
  }
  outcome.Fail("value read from " + location + " (type " + std::to_string(before) +
               ") failed its check: " + firstWhy);
  return reading;
}

std::vector<std::string> CollectNames(storage::INamesEnumerator& names, const std::string& place,
                                      const char* what, Outcome& outcome) {
  std::vector<std::string> collected;
  std::set<std::string> seen;
  while (names.Next()) {
    const char* current = names.Current();
    const std::string name = current ? current : "";
    if (!seen.insert(Lower(name)).second)
      outcome.Fail(std::string("two ") + what + " named '" + name + "' in " + (place.empty() ? "/" : place));
    collected.push_back(name);
  }
  return collected;
}

}  // namespace stress
