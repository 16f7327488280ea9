// Path routines on any text: Split gives non-empty components free of
// separators that are exactly the words of the text after its drive prefix;
// Join keeps both pieces with one separator between them; getDir gives a
// leading part of the path; Normalize gives an absolute path without empty,
// "." or ".." components and is idempotent.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "base/Path.h"
#include "base/PathUtils.h"

namespace {

using storage::utils::Join;
using storage::utils::Split;
namespace path = storage::utils::path;

constexpr std::string_view kSeparators = "\\/";

bool IsSeparator(char c) { return kSeparators.find(c) != std::string_view::npos; }

// The words of text between runs of separators, joined by single blanks.
std::string Words(std::string_view text) {
  std::string words;
  bool in_word = false;
  for (char c : text) {
    if (IsSeparator(c)) {
      in_word = false;
      continue;
    }
    if (!in_word && !words.empty()) words += ' ';
    in_word = true;
    words += c;
  }
  return words;
}

void CheckSplit(const std::string& text) {
  const storage::utils::SectionPath split = Split(text.c_str());
  fuzz::Check(split.Text() == text, "Split changed the text");
  std::string_view scanned = text;
  const size_t colon = text.find(':');
  if (colon != std::string::npos) {
    fuzz::Check(split.Drive() == text.substr(0, colon), "Split took a wrong drive prefix");
    const size_t start = text.find_first_of(kSeparators, colon);
    scanned = start == std::string::npos ? std::string_view() : scanned.substr(start);
  } else {
    fuzz::Check(split.Drive().empty(), "Split found a drive without a colon");
  }
  std::string joined;
  for (size_t i = 0; i < split.Size(); ++i) {
    const std::string component = split.Component(i);
    fuzz::Check(!component.empty(), "Split gave an empty component");
    fuzz::Check(component.find_first_of(kSeparators) == std::string::npos, "a component holds a separator");
    if (i > 0) joined += ' ';
    joined += component;
  }
  // The components are joined with blanks, so the compare is exact only for
  // a text without blanks.
  if (text.find(' ') == std::string::npos) {
    fuzz::Check(joined == Words(scanned), "Split lost or invented text");
  }
}

void CheckJoin(const std::string& a, const std::string& b) {
  const std::string joined = Join(a, b);
  if (a.empty()) {
    fuzz::Check(joined == b, "Join of an empty text is not the second text");
    return;
  }
  fuzz::Check(joined.starts_with(a), "Join lost its first text");
  const std::string_view rest = std::string_view(joined).substr(a.size());
  const bool a_ends = IsSeparator(a.back());
  const bool b_starts = !b.empty() && IsSeparator(b.front());
  if (a_ends && b_starts) {
    fuzz::Check(rest == std::string_view(b).substr(1), "Join kept both separators");
  } else if (a_ends || b_starts) {
    fuzz::Check(rest == b, "Join changed the second text");
  } else {
    fuzz::Check(rest.size() == b.size() + 1 && IsSeparator(rest.front()) && rest.substr(1) == b,
                "Join put no single separator between the texts");
  }
}

void CheckGetDir(const std::string& text) {
  const std::string dir = path::GetDir(text);
  const size_t last = text.find_last_of(kSeparators);
  if (last == std::string::npos) {
    fuzz::Check(dir.empty(), "getDir of a bare name is not empty");
    return;
  }
  if (dir.size() == 1 && IsSeparator(dir[0])) return;  // right below the root
  fuzz::Check(text.starts_with(dir), "getDir is no leading part of the path");
  fuzz::Check(!dir.empty() && !IsSeparator(dir.back()), "getDir ends with a separator");
  fuzz::Check(text.find_first_not_of(kSeparators, dir.size()) > last, "getDir cut inside the last name");
}

void CheckNormalize(const std::string& text) {
  std::string normal;
  try {
    normal = path::Normalize(text);
  } catch (const std::runtime_error&) {
    return;  // the current directory is unknown: documented
  }
  fuzz::Check(!normal.empty() && normal.front() == path::kSeparator, "normailize gave no absolute path");
  fuzz::Check(normal.size() == 1 || normal.back() != path::kSeparator,
              "normailize left a trailing separator");
  for (size_t start = 1; start <= normal.size();) {
    size_t end = normal.find(path::kSeparator, start);
    if (end == std::string::npos) end = normal.size();
    const std::string_view component = std::string_view(normal).substr(start, end - start);
    if (normal.size() > 1) {
      fuzz::Check(!component.empty() && component != "." && component != "..",
                  "normailize left an empty, \".\" or \"..\" component");
      fuzz::Check(component.find_first_of(kSeparators) == std::string_view::npos,
                  "normailize left a foreign separator");
    }
    start = end + 1;
  }
  fuzz::Check(path::Normalize(normal) == normal, "normailize is not idempotent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The routines take NUL-terminated text: the input up to its first NUL is
  // the path; for Join, the part after that NUL is the second piece.
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string text = input.substr(0, nul);
  const std::string second = nul == std::string::npos ? std::string() : input.substr(nul + 1);
  CheckSplit(text);
  CheckJoin(text, second.substr(0, second.find('\0')));
  CheckGetDir(text);
  CheckNormalize(text);
  return 0;
}
