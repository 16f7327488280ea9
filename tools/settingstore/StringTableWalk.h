// The string table as stored in its hives: every live string with its text
// and shared reference count, found the way the table finds them (head blocks
// of 44 or 48 bytes carrying a SID), with their chains followed and checked.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_STRINGTABLEWALK_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_STRINGTABLEWALK_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "HiveRegion.h"

namespace cli {

struct StoredString {
  std::string text;
  uint32_t references;
};

class StringTableWalk {
 public:
  // External strings' files are looked for in `directory`. Every block that
  // the table reaches goes into `reached`.
  StringTableWalk(const HiveRegion& region, const std::string& directory, Findings& findings,
                  std::unordered_set<uint32_t>& reached);

  // The live string with this SID, or null.
  const StoredString* find(uint32_t sid) const;
  // The SID by which names are looked up: the lowest of the strings equal to
  // the text without regard to case; 0 when there is none.
  uint32_t SidOf(std::string_view text) const;
  // The same for a section's or key's name, as the table's lookup by name
  // finds it (names are stored behind their marker byte).
  uint32_t SidOfName(std::string_view name) const;

  size_t count() const { return strings_.size(); }
  uint64_t TextBytes() const { return textBytes_; }

 private:
  void FindRoot(Problems& problems, std::unordered_set<uint32_t>& reached);
  void ReadString(uint32_t head, uint32_t size, Findings& findings, std::unordered_set<uint32_t>& reached);
  // The bytes the chain from this head carries, unscrambled and cut at their
  // terminator; false when the chain is broken.
  bool ReadChain(uint32_t head, const std::string& what, std::string& text, Problems& problems,
                 std::unordered_set<uint32_t>& reached);
  bool ReadExternal(uint32_t head, const std::string& path, const std::string& what, std::string& text,
                    Problems& problems);

  const HiveRegion& region_;
  std::string directory_;
  uint32_t counter_ = 0;
  std::unordered_map<uint32_t, StoredString> strings_;
  // The stored names, lower-cased, to the lowest SID that carries each.
  std::unordered_map<std::string, uint32_t> nameSids_;
  uint64_t textBytes_ = 0;
};

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_STRINGTABLEWALK_H
