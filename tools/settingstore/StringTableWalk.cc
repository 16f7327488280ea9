#include "StringTableWalk.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "shareddom/NameStrings.h"
#include "shareddom/StringFactory.h"
#include "shareddom/StringHolderBase.h"
#include "shareddom/StringHolderFactory.h"
#include "shm/InitMemAddress.h"

namespace cli {

namespace {

using storage::StringHolderBase;

constexpr uint32_t kNull = storage::InitMemAddress::kNull;

// Words that a head's SID word holds when it carries no string.
bool NoString(uint32_t sid) { return sid == 0 || sid == kNull || sid == 0xDDDDDDDD; }

// A chain's bytes end at the last 0 byte; the text is what comes before it,
// without the 0 bytes right in front of it.
std::string CutAtTerminator(const std::string& bytes) {
  const size_t terminator = bytes.rfind('\0');
  if (terminator == std::string::npos) return bytes;
  const size_t end = bytes.find_last_not_of('\0', terminator);
  return end == std::string::npos ? std::string() : bytes.substr(0, end + 1);
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

StringTableWalk::StringTableWalk(const HiveRegion& region, const std::string& directory, Findings& findings,
                                 std::unordered_set<uint32_t>& reached)
    : region_(region), directory_(directory) {
  FindRoot(findings.damage, reached);
  for (uint32_t address : region_.AddressesInOrder()) {
    const uint32_t size = region_.BlocksInUse().at(address).requested;
    if (size == StringHolderBase::kHeadBlockSize || size == StringHolderBase::kExternalHeadBlockSize) {
      ReadString(address, size, findings, reached);
    }
  }
  for (const auto& [sid, string] : strings_) {
    if (string.text.empty() || string.text.front() != storage::names::kMarker) continue;
    const auto [entry, added] = nameSids_.emplace(LowerAscii(string.text), sid);
    if (!added && sid < entry->second) entry->second = sid;
  }
}

const StoredString* StringTableWalk::find(uint32_t sid) const {
  const auto found = strings_.find(sid);
  return found == strings_.end() ? nullptr : &found->second;
}

uint32_t StringTableWalk::SidOfName(std::string_view name) const {
  const auto found = nameSids_.find(LowerAscii(std::string(1, storage::names::kMarker) + std::string(name)));
  return found == nameSids_.end() ? 0 : found->second;
}

uint32_t StringTableWalk::SidOf(std::string_view text) const {
  uint32_t lowest = 0;
  for (const auto& [sid, string] : strings_) {
    if ((lowest == 0 || sid < lowest) && EqualIgnoringCase(string.text, text)) lowest = sid;
  }
  return lowest;
}

// The table's root is its first 12-byte block; its third word is the last SID
// issued.
void StringTableWalk::FindRoot(Problems& problems, std::unordered_set<uint32_t>& reached) {
  for (uint32_t address : region_.AddressesInOrder()) {
    if (region_.BlocksInUse().at(address).requested != storage::StringFactory::kRootSize) continue;
    counter_ = region_.word(address + storage::StringFactory::kRootCounterOffset);
    reached.insert(address);
    return;
  }
  problems.push_back("string table: no root block");
}

void StringTableWalk::ReadString(uint32_t head, uint32_t size, Findings& findings,
                                 std::unordered_set<uint32_t>& reached) {
  Problems& problems = findings.damage;
  const uint32_t sid = region_.word(head + StringHolderBase::kSidOffset);
  // A head without a SID, or without references, is left unreached: a string
  // half built or half freed when its process ended. Attributes that still
  // name it are damage, found by the tree's walk.
  if (NoString(sid)) return;
  const uint32_t references = region_.word(head + StringHolderBase::kCountOffset);
  if (references == 0) return;
  reached.insert(head);
  const std::string what = "string " + std::to_string(static_cast<int32_t>(sid)) + " at " + HexWord(head);
  if (static_cast<int32_t>(sid) < 0 || sid > counter_) {
    problems.push_back(what + ": its SID is beyond the last one issued (" + std::to_string(counter_) + ")");
  }
  if (strings_.count(sid) != 0) {
    problems.push_back(what + ": another string has the same SID");
    return;
  }
  std::string text;
  if (!ReadChain(head, what, text, problems, reached)) return;
  if (size == StringHolderBase::kExternalHeadBlockSize) {
    const std::string path = std::move(text);
    if (!ReadExternal(head, path, what, text, problems)) return;
  }
  textBytes_ += text.size();
  strings_.emplace(sid, StoredString{std::move(text), references});
}

bool StringTableWalk::ReadChain(uint32_t head, const std::string& what, std::string& text, Problems& problems,
                                std::unordered_set<uint32_t>& reached) {
  std::string bytes;
  uint32_t block = head;
  for (;;) {
    const uint8_t* payload =
        region_.bytes(block + StringHolderBase::kPayloadOffset, StringHolderBase::kPayloadSize);
    for (size_t j = 0; j < StringHolderBase::kPayloadSize; ++j) {
      bytes.push_back(static_cast<char>(StringHolderBase::Unscramble(payload[j], j)));
    }
    const uint32_t next = region_.word(block + StringHolderBase::kNextOffset);
    if (next == kNull) break;
    if (region_.block(next, StringHolderBase::kChunkBlockSize) == nullptr) {
      problems.push_back(what + ": its chain links to " + HexWord(next) + ", which is no string chunk");
      return false;
    }
    if (!reached.insert(next).second) {
      problems.push_back(what + ": its chain reaches the chunk " + HexWord(next) + " a second time");
      return false;
    }
    block = next;
  }
  text = CutAtTerminator(bytes);
  return true;
}

// An external string's chain holds its file's path; the file is looked for
// by its name in the storage's directory, as the table does.
bool StringTableWalk::ReadExternal(uint32_t head, const std::string& path, const std::string& what,
                                   std::string& text, Problems& problems) {
  const size_t separator = path.find_last_of("/\\");
  const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
  const std::filesystem::path file = std::filesystem::path(directory_) / name;
  std::ifstream in(file, std::ios::binary);
  if (name.empty() || !in) {
    problems.push_back(what + ": its text file " + file.string() + " is missing");
    return false;
  }
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const uint32_t stored = region_.word(head + StringHolderBase::kHashOffset);
  if (storage::StringHolderFactory::GetHash(content) != stored) {
    problems.push_back(what + ": its text file " + file.string() + " is not the text it was stored with");
  }
  text = std::move(content);
  return true;
}

}  // namespace cli
