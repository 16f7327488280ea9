#include "StoreCheck.h"

#include <filesystem>
#include <unordered_set>

#include "CliError.h"
#include "HiveRegion.h"
#include "StringTableWalk.h"
#include "TreeWalk.h"
#include "shareddom/SharedSettings.h"

namespace cli {

namespace {

constexpr size_t kLinesShown = 40;

// Blocks in use that nothing reaches: what a process that ended in the middle
// of an operation (or still held a removed node) left taken.
void ReportUnreached(const HiveRegion& region, const char* what, const std::unordered_set<uint32_t>& reached,
                     Findings& findings, CheckSummary& summary) {
  for (uint32_t address : region.AddressesInOrder()) {
    if (reached.count(address) != 0) continue;
    ++summary.leakedBlocks;
    findings.leaks.push_back(std::string(what) + ": the block " + HexWord(address) + " (" +
                             std::to_string(region.BlocksInUse().at(address).requested) +
                             " bytes) is in use but nothing reaches it");
  }
}

// Each attribute node holding a value SID holds one reference on its string.
void CheckReferences(const StringTableWalk& strings, const TreeWalk& tree, Problems& problems) {
  for (const auto& [sid, uses] : tree.ValueUses()) {
    const StoredString* string = strings.find(sid);
    if (string == nullptr || string->references >= uses) continue;
    problems.push_back("string " + std::to_string(sid) + ": " + std::to_string(string->references) +
                       " references, but " + std::to_string(uses) + " attribute nodes hold it");
  }
}

void AddUsage(const HiveRegion& region, CheckSummary& summary) {
  for (const HiveImage& hive : region.hives()) {
    for (const HiveBlock& block : hive.blocks()) {
      if (block.state == BlockState::kLost) {
        ++summary.leakedBlocks;
      } else if (block.state == BlockState::kInUse) {
        ++summary.blocksInUse;
        summary.bytesInUse += block.rounded;
      } else if (block.state == BlockState::kFree) {
        ++summary.freeBlocks;
        summary.freeBytes += block.rounded;
      }
    }
  }
}

void PrintLines(const char* kind, const Problems& lines, std::ostream& out) {
  for (size_t i = 0; i < lines.size() && i < kLinesShown; ++i) out << kind << ": " << lines[i] << '\n';
  if (lines.size() > kLinesShown) out << kind << ": ... and " << lines.size() - kLinesShown << " more\n";
}

}  // namespace

CheckResult CheckStorage(const std::string& directory) {
  const storage::SharedSettings settings(directory.c_str());
  const std::filesystem::path base(settings.path);
  const std::string nodeFiles = (base / settings.storageFileName).string();
  if (!std::filesystem::exists(nodeFiles + "000d.dm2")) {
    throw CliError(kNotFound, "no shared storage files in '" + directory + "'");
  }
  CheckResult result;
  Findings& findings = result.findings;
  CheckSummary& summary = result.summary;
  const HiveRegion nodes = HiveRegion::FromFiles(nodeFiles, findings);
  const HiveRegion strings = HiveRegion::FromFiles((base / settings.mapFileName).string(), findings);

  std::unordered_set<uint32_t> reachedStrings;
  const StringTableWalk table(strings, settings.path, findings, reachedStrings);
  std::unordered_set<uint32_t> reachedNodes;
  const TreeWalk tree(nodes, table, findings.damage, reachedNodes);
  CheckReferences(table, tree, findings.damage);
  ReportUnreached(nodes, "node hives", reachedNodes, findings, summary);
  ReportUnreached(strings, "string hives", reachedStrings, findings, summary);

  summary.nodeHives = nodes.hives().size();
  summary.stringHives = strings.hives().size();
  AddUsage(nodes, summary);
  AddUsage(strings, summary);
  summary.sections = tree.sections();
  summary.keys = tree.keys();
  summary.strings = table.count();
  summary.textBytes = table.TextBytes();
  return result;
}

void PrintCheck(const CheckResult& result, bool strict, std::ostream& out) {
  PrintLines("damage", result.findings.damage, out);
  PrintLines("leak", result.findings.leaks, out);
  const CheckSummary& s = result.summary;
  out << "hives:          " << s.nodeHives << " node, " << s.stringHives << " string\n"
      << "blocks in use:  " << s.blocksInUse << " (" << s.bytesInUse << " bytes, hive heads included)\n"
      << "free blocks:    " << s.freeBlocks << " (" << s.freeBytes << " bytes)\n"
      << "leaked blocks:  " << s.leakedBlocks << '\n'
      << "sections:       " << s.sections << '\n'
      << "keys:           " << s.keys << '\n'
      << "strings:        " << s.strings << " (" << s.textBytes << " bytes of text)\n"
      << (result.sound(strict) ? "the storage is sound\n" : "the storage is damaged\n");
}

}  // namespace cli
