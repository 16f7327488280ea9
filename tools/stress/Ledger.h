// The controller's record of acknowledged writes. A worker reports each write
// of a key it alone owns once Write has returned; at the end the last value of
// every such key must read back: exactly the last acknowledged one for a worker
// that left in order, that one or a later one for a worker killed meanwhile
// (a kill between a write and its report loses only the report).
#ifndef SETTINGSTORE_TOOLS_STRESS_LEDGER_H
#define SETTINGSTORE_TOOLS_STRESS_LEDGER_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ValueCheck.h"

namespace stress {

struct Expectation {
  std::string location;  // "<place>/<key>"
  uint32_t writer = 0;
  uint64_t sequence = 0;
  bool exact = false;
};

class Ledger {
 public:
  void Acknowledge(uint32_t writer, const std::string& location, uint64_t sequence);
  // The worker ended without leaving in order (killed or crashed).
  void MarkInterrupted(uint32_t writer);
  // A write of the key failed with an error: it may or may not have landed.
  void MarkUncertain(const std::string& location);
  std::vector<Expectation> Expectations() const;
  size_t AcknowledgedWrites() const { return acknowledged_; }

 private:
  struct Last {
    uint32_t writer;
    uint64_t sequence;
  };
  std::map<std::string, Last> last_;
  std::set<uint32_t> interrupted_;
  std::set<std::string> uncertain_;
  size_t acknowledged_ = 0;
};

// One expectation per line: location, writer, sequence, exact flag.
std::string FormatExpectation(const Expectation& expectation);
std::optional<Expectation> ParseExpectation(const std::string& line);

// Why the value found (empty when the key is missing or its value failed its
// own check) does not meet the expectation, or empty when it does.
std::optional<std::string> Unmet(const Expectation& expectation, const std::optional<Stamp>& found);

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_LEDGER_H
