#include "Ledger.h"

#include <sstream>

namespace stress {

void Ledger::Acknowledge(uint32_t writer, const std::string& location, uint64_t sequence) {
  ++acknowledged_;
  Last& last = last_[location];
  if (last.writer != writer || sequence > last.sequence) last = Last{writer, sequence};
}

void Ledger::MarkInterrupted(uint32_t writer) { interrupted_.insert(writer); }

void Ledger::MarkUncertain(const std::string& location) { uncertain_.insert(location); }

std::vector<Expectation> Ledger::Expectations() const {
  std::vector<Expectation> expectations;
  for (const auto& [location, last] : last_)
    expectations.push_back(
        Expectation{location, last.writer, last.sequence,
                    interrupted_.count(last.writer) == 0 && uncertain_.count(location) == 0});
  return expectations;
}

std::string FormatExpectation(const Expectation& expectation) {
  return expectation.location + " " + std::to_string(expectation.writer) + " " +
         std::to_string(expectation.sequence) + " " + (expectation.exact ? "exact" : "at-least");
}

std::optional<Expectation> ParseExpectation(const std::string& line) {
  std::istringstream in(line);
  Expectation expectation;
  std::string kind;
  if (!(in >> expectation.location >> expectation.writer >> expectation.sequence >> kind))
    return std::nullopt;
  if (kind != "exact" && kind != "at-least") return std::nullopt;
  expectation.exact = kind == "exact";
  return expectation;
}

std::optional<std::string> Unmet(const Expectation& expectation, const std::optional<Stamp>& found) {
  const std::string what = expectation.location + " (write " + std::to_string(expectation.sequence) +
                           " of worker " + std::to_string(expectation.writer) + ")";
  if (!found) return "acknowledged write lost: " + what + " has no valid value";
  if (found->writer != expectation.writer)
    return "owned key overwritten: " + what + " holds a value of worker " + std::to_string(found->writer);
  if (found->sequence < expectation.sequence)
    return "acknowledged write lost: " + what + " holds the older write " + std::to_string(found->sequence);
  if (expectation.exact && found->sequence != expectation.sequence)
    return "unacknowledged write present: " + what + " holds write " + std::to_string(found->sequence) +
           " although its worker left in order";
  return std::nullopt;
}

}  // namespace stress
