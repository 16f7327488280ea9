#include "base/Path.h"

#include <xxhash.h>

#include <cctype>
#include <cstdio>
#include <vector>

#include "platform/Platform.h"

namespace storage::utils {

namespace path {

std::string_view GetSeparators() { return "\\/"; }

std::string GetDir(const std::string& path) {
  size_t last = path.find_last_of(GetSeparators());
  if (last == std::string::npos) return {};
  size_t end = path.find_last_not_of(GetSeparators(), last);
  if (end == std::string::npos) return std::string(1, kSeparator);
  return path.substr(0, end + 1);
}

namespace {

bool IsSeparator(char c) { return GetSeparators().find(c) != std::string_view::npos; }

// The part of an absolute path above its first component, and where the
// components start. POSIX has one root, "/". Windows roots a path in a drive
// ("C:"; the current one when the path starts with a single separator) or in
// a share ("\\server\share").
std::string SplitRoot([[maybe_unused]] const std::string& full, size_t* rest) {
  *rest = 0;
#ifdef _WIN32
  if (full.size() >= 2 && full[1] == ':') {
    *rest = 2;
    return full.substr(0, 2);
  }
  if (full.size() > 2 && IsSeparator(full[0]) && IsSeparator(full[1]) && !IsSeparator(full[2])) {
    size_t end = full.find_first_of(GetSeparators(), 2);
    if (end != std::string::npos) end = full.find_first_of(GetSeparators(), end + 1);
    *rest = end == std::string::npos ? full.size() : end;
    std::string share = full.substr(0, *rest);
    for (char& c : share) c = IsSeparator(c) ? kSeparator : c;
    return share;
  }
  size_t ignored = 0;
  return SplitRoot(platform::CurrentDirectory(), &ignored);
#else
  return {};
#endif
}

bool IsAbsolute(const std::string& path) {
#ifdef _WIN32
  if (path.size() >= 2 && path[1] == ':') return true;
#endif
  return !path.empty() && IsSeparator(path.front());
}

}  // namespace

std::string Normalize(const std::string& path) {
  const std::string full = IsAbsolute(path) ? path : platform::CurrentDirectory() + kSeparator + path;
  size_t start = 0;
  const std::string root = SplitRoot(full, &start);

  std::vector<std::string_view> components;
  std::string_view rest(full);
  rest.remove_prefix(start);
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

  if (components.empty()) return root + kSeparator;
  std::string result = root;
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
#ifdef _WIN32
  // Windows names one file whatever the letter case: so must the hash.
  for (char& c : normalised) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
#endif
  unsigned long long hash = XXH64(normalised.data(), normalised.size(), 0);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", hash);
  return text;
}

}  // namespace storage::utils
