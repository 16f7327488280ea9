// The settings tree as stored in the node hives: from the root holder down
// through every child and attribute link, each checked to name a node of the
// right kind that no other link names, with every SID alive in the string table.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_TREEWALK_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_TREEWALK_H

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "HiveRegion.h"
#include "StringTableWalk.h"

namespace cli {

class TreeWalk {
 public:
  // Every node the tree reaches goes into `reached`.
  TreeWalk(const HiveRegion& nodes, const StringTableWalk& strings, Problems& damage,
           std::unordered_set<uint32_t>& reached);

  uint64_t sections() const { return sections_; }
  uint64_t keys() const { return keys_; }
  // How many attribute nodes hold each value SID: each holds one reference.
  const std::unordered_map<uint32_t, uint32_t>& ValueUses() const { return valueUses_; }

 private:
  struct Pending {
    uint32_t address;
    std::string parentPath;
    uint32_t parent;
  };

  uint32_t FindRootHolder(std::unordered_set<uint32_t>& reached);
  void visit(const Pending& element, bool isRoot, Problems& problems, std::unordered_set<uint32_t>& reached);
  // Checks the element's attribute list; returns its name as stored ("" when
  // it has none) and its SID in nameSid.
  std::string ReadAttributes(uint32_t element, bool isKey, const std::string& where, Problems& problems,
                             std::unordered_set<uint32_t>& reached, uint32_t& nameSid);
  // Whether a read that looks the element up by its name reaches it.
  void CheckLookup(const Pending& element, uint32_t kindSid, uint32_t nameSid, const std::string& name,
                   const std::string& where, Problems& problems);
  // A SID that must name a live string: its text, or "(SID n)" after a problem.
  std::string TextOf(uint32_t sid, const std::string& where, Problems& problems);

  const HiveRegion& nodes_;
  const StringTableWalk& strings_;
  std::vector<Pending> pending_;
  uint32_t sectionSid_;
  uint32_t keySid_;
  uint32_t nameSid_;
  uint64_t sections_ = 0;
  uint64_t keys_ = 0;
  std::unordered_map<uint32_t, uint32_t> valueUses_;
  // (parent, kind SID, name SID) of every element met.
  std::set<std::array<uint32_t, 3>> named_;
};

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_TREEWALK_H
