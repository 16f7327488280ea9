// A settings subtree between the storage and the exchange formats (.reg,
// JSON, XML): read whole before it is written out, and an import checked
// whole before the first change reaches the storage.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_EXCHANGE_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_EXCHANGE_H

#include <string>
#include <utility>
#include <vector>

#include "CliError.h"
#include "storage/storage.h"

namespace cli::exchange {

// A value as the storage holds it: the bytes Read gives (four for an integer).
struct Value {
  storage::Type type = storage::TYPE_UNKNOWN;
  std::string bytes;
};

struct Section {
  std::vector<std::pair<std::string, Value>> keys;
  std::vector<std::pair<std::string, Section>> sections;
};

// One step of an import. `section` is the path below the import's target
// section, its levels joined by '\' ("" for the target itself).
struct Change {
  enum class Kind { kCreateSection, kDeleteSection, kSetValue, kDeleteKey };
  Kind kind = Kind::kCreateSection;
  std::string section;
  std::string name;  // the key, for kSetValue and kDeleteKey
  Value value;       // for kSetValue
};

// Bad input: exit status 2, the message names the line (and column where the
// format has one), e.g. "line 12: unknown value type \"hex(9)\"".
class InputError : public CliError {
 public:
  InputError(int line, int column, const std::string& message)
      : CliError(kUsage, Where(line, column) + ": " + message) {}

 private:
  static std::string Where(int line, int column) {
    return "line " + std::to_string(line) + (column > 0 ? ", column " + std::to_string(column) : "");
  }
};

}  // namespace cli::exchange

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_EXCHANGE_H
