#include "base/PathUtils.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "base/Path.h"
#include "platform/Platform.h"

namespace storage::utils {

namespace {

// Paths on disk may be written with either separator.
constexpr std::string_view kSlashes = "\\/";

bool IsPathSeparator(char c) { return kSlashes.find(c) != std::string_view::npos; }

// The path as the file system reads it: every separator the native one.
std::string NativePath(std::string_view path) {
  std::string native(path);
  for (char& c : native) {
    if (IsPathSeparator(c)) c = path::kSeparator;
  }
  return native;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

SectionPath::SectionPath(std::string text, std::string drive, std::vector<std::string> components)
    : text_(std::move(text)), drive_(std::move(drive)), components_(std::move(components)) {}

std::string SectionPath::Component(size_t i) const { return components_.at(i); }

SectionPath Split(const char* path) {
  std::string text = path != nullptr ? path : "";
  std::string_view separators = path::GetSeparators();
  std::string drive;
  size_t position = 0;
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    drive = text.substr(0, colon);
    position = text.find_first_of(separators, colon);
  }

  std::vector<std::string> components;
  while (position != std::string::npos) {
    position = text.find_first_not_of(separators, position);
    if (position == std::string::npos) break;
    size_t end = text.find_first_of(separators, position);
    components.push_back(text.substr(position, end - position));
    position = end;
  }
  return SectionPath(std::move(text), std::move(drive), std::move(components));
}

std::string Join(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  std::string joined(a);
  bool a_ends_with_separator = IsPathSeparator(a.back());
  bool b_starts_with_separator = !b.empty() && IsPathSeparator(b.front());
  if (a_ends_with_separator && b_starts_with_separator) {
    b.remove_prefix(1);
  } else if (!a_ends_with_separator && !b_starts_with_separator) {
    joined += path::kSeparator;
  }
  joined += b;
  return joined;
}

bool IsDirectory(std::string_view path) {
  return !path.empty() && platform::IsDirectory(NativePath(path).c_str());
}

bool CreateDirectoryChain(std::string_view path, bool lastIsFile) {
  if (path.empty()) return false;
  std::vector<std::string_view> components;
  for (size_t position = path.find_first_not_of(kSlashes); position != std::string_view::npos;) {
    size_t end = path.find_first_of(kSlashes, position);
    components.push_back(path.substr(position, end - position));
    position = path.find_first_not_of(kSlashes, end);
  }
  size_t count = components.size();
  if (lastIsFile && count > 0) --count;

  // An absolute path starts at the root. Every level, the first included, is
  // made when missing; one that another process made meanwhile is fine too.
  std::string current = IsPathSeparator(path.front()) ? std::string(1, path::kSeparator) : std::string();
  for (size_t i = 0; i < count; ++i) {
    current = Join(current, components[i]);
    if (platform::IsDirectory(current.c_str())) continue;
    if (!platform::MakeDirectory(current.c_str()) && !platform::IsDirectory(current.c_str())) return false;
  }
  return true;
}

std::string ReadWholeFile(std::string_view path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(NativePath(path).c_str(), "rb"));
  if (!file) return {};
  std::string content;
  char buffer[64 * 1024];
  size_t read;
  while ((read = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) content.append(buffer, read);
  if (std::ferror(file.get())) return {};
  return content;
}

FileRead ReadWholeFileReporting(std::string_view path) {
  FileRead result;
  if (platform::ReadStorageFile(NativePath(path).c_str(), &result.content, &result.error)) {
    result.outcome = FileRead::Outcome::kRead;
  } else if (platform::GetLastError() != platform::kErrorFileNotFound) {
    result.outcome = FileRead::Outcome::kUnreadable;
  }
  return result;
}

bool WriteWholeFile(std::string_view path, std::string_view content) {
  std::FILE* file = std::fopen(NativePath(path).c_str(), "wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  // Buffered bytes reach the file only at close, so its result counts too.
  bool closed = std::fclose(file) == 0;
  return written && closed;
}

}  // namespace storage::utils
