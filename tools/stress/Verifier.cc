#include "Verifier.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <optional>

#include "Board.h"
#include "KeyCheck.h"
#include "Ledger.h"
#include "Outcome.h"
#include "Process.h"
#include "StorageSession.h"
#include "Workload.h"

namespace stress {

namespace {

using storage::INamesEnumerator;
using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;

class TreeWalk {
 public:
  TreeWalk(Outcome& outcome, int sections) : outcome_(outcome), sections_(sections) {}

  void Walk(IStorageSection& section, const std::string& place, int depth) {
    ++sectionCount_;
    Ref<INamesEnumerator> names;
    if (!outcome_.Attempt(OpKind::kEnumSections, place, "", {}, [&] { names.reset(section.EnumSections()); }))
      return;
    for (const std::string& name : CollectNames(*names, place, "sections", outcome_)) {
      if (!KnownSectionName(name, depth + 1, sections_))
        outcome_.Fail("unexpected section '" + name + "' in " + place);
      const std::string child = place.empty() ? name : place + "/" + name;
      Ref<IStorageSection> opened;
      if (outcome_.Attempt(OpKind::kOpenSection, child, "", {},
                           [&] { opened.reset(section.OpenSection(name.c_str())); }))
        Walk(*opened, child, depth + 1);
    }
    if (!outcome_.Attempt(OpKind::kEnumKeys, place, "", {}, [&] { names.reset(section.EnumKeys()); })) return;
    for (const std::string& name : CollectNames(*names, place, "keys", outcome_)) {
      if (!KnownKeyName(name)) outcome_.Fail("unexpected key '" + name + "' in " + place);
      Ref<IStorageKey> key;
      if (!outcome_.Attempt(OpKind::kOpenKey, place, name, {},
                            [&] { key.reset(section.OpenKey(name.c_str())); }))
        continue;
      ++keyCount_;
      const KeyReading reading = ReadKey(*key, place, name, outcome_, false);
      if (reading.result == KeyReading::kUnwritten) ++unwritten_;
      if (reading.result == KeyReading::kChecked) found_[place + "/" + name] = *reading.stamp;
    }
  }

  std::optional<Stamp> Found(const std::string& location) const {
    auto it = found_.find(location);
    if (it == found_.end()) return std::nullopt;
    return it->second;
  }

  std::string Figures() const {
    return "sections=" + std::to_string(sectionCount_) + " keys=" + std::to_string(keyCount_) +
           " unwritten=" + std::to_string(unwritten_);
  }

 private:
  Outcome& outcome_;
  int sections_;
  size_t sectionCount_ = 0;
  size_t keyCount_ = 0;
  size_t unwritten_ = 0;
  std::map<std::string, Stamp> found_;
};

}  // namespace

int RunVerifier(const VerifyOptions& options) {
  FollowParent(options.controllerPid);
  Board board = Board::Attach(options.boardPath);
  std::atomic<uint64_t> failures{0};
  Outcome outcome(board, kVerifierSlot, 0, failures, Report);
  std::optional<StorageSession> session;
  if (!outcome.Attempt(OpKind::kInitialize, options.storagePath, "", {},
                       [&] { session.emplace(ParseType(options.type), options.storagePath); }))
    return 1;
  TreeWalk walk(outcome, options.sections);
  {
    Ref<IStorageSection> root = session->Root();
    walk.Walk(*root, "", 0);
  }
  size_t met = 0;
  size_t expectations = 0;
  std::ifstream in(options.expectationsPath);
  for (std::string line; std::getline(in, line);) {
    const std::optional<Expectation> expectation = ParseExpectation(line);
    if (!expectation) {
      outcome.Fail("unreadable expectation '" + line + "'");
      continue;
    }
    ++expectations;
    if (auto unmet = Unmet(*expectation, walk.Found(expectation->location)))
      outcome.Fail(*unmet);
    else
      ++met;
  }
  outcome.Attempt(OpKind::kDeinitialize, options.storagePath, "", {}, [&] { session->Close(); });
  Report("note " + walk.Figures() + " expectations=" + std::to_string(expectations) +
         " met=" + std::to_string(met));
  Report("bye");
  return failures.load() == 0 ? 0 : 1;
}

}  // namespace stress
