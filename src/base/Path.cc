#include "base/Path.h"

#include <xxhash.h>

#include <cstdio>
#include <vector>

#include "platform/Platform.h"

namespace storage::utils {

namespace path {

namespace {

bool IsSeparator(char c) { return GetSeparators().find(c) != std::string_view::npos; }

}  // namespace

std::string_view GetSeparators() { return "\\/"; }

std::string GetDir(const std::string& path) {
  size_t last = path.find_last_of(GetSeparators());
  if (last == std::string::npos) return {};
  size_t end = path.find_last_not_of(GetSeparators(), last);
  if (end == std::string::npos) return std::string(1, kSeparator);
  return path.substr(0, end + 1);
}

std::string Normalize(const std::string& path) {
  std::string full =
      !path.empty() && IsSeparator(path.front()) ? path : platform::CurrentDirectory() + kSeparator + path;

  std::vector<std::string_view> components;
  std::string_view rest(full);
  while (!rest.empty()) {
    size_t end = rest.find_first_of(GetSeparators());
    std::string_view component = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      // Above the root is the root, as the system resolves it.
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(component);
  }

  if (components.empty()) return std::string(1, kSeparator);
  std::string result;
  result.reserve(full.size());
  for (std::string_view component : components) {
    result += kSeparator;
    result += component;
  }
  return result;
}

}  // namespace path

std::string GenerateUniqueHashByPath(const std::string& path) {
  std::string normalised = path::Normalize(path);
  unsigned long long hash = XXH64(normalised.data(), normalised.size(), 0);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", hash);
  return text;
}

}  // namespace storage::utils
