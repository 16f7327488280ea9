#include "Counters.h"

namespace stress {

const char* OpName(OpKind kind) {
  static constexpr const char* kNames[kOpKinds] = {"none",          "InitializeStorage",
                                                   "CreateSection", "OpenSection",
                                                   "DeleteSection", "CreateKey",
                                                   "OpenKey",       "Write",
                                                   "Read",          "GetType",
                                                   "EnumKeys",      "EnumSections",
                                                   "DeleteKey",     "DeinitializeStorage"};
  const auto index = static_cast<size_t>(kind);
  return index < kOpKinds ? kNames[index] : "?";
}

std::optional<size_t> ExpectedCodeIndex(int32_t code) {
  for (size_t i = 0; i < kExpectedCodes.size(); ++i)
    if (kExpectedCodes[i] == code) return i;
  return std::nullopt;
}

Counters& Counters::operator+=(const Counters& other) {
  for (size_t i = 0; i < operations.size(); ++i) operations[i] += other.operations[i];
  for (size_t i = 0; i < expected.size(); ++i) expected[i] += other.expected[i];
  failures += other.failures;
  return *this;
}

uint64_t Counters::TotalOperations() const {
  uint64_t total = 0;
  for (uint64_t count : operations) total += count;
  return total;
}

}  // namespace stress
