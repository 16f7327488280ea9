// shareddom_test_helper: another process on the test's shared DOM, or on its
// string table alone. `shareddom_test_helper <command> <args...>`; exit 0 on
// success, 1 on content other than expected, 2 on bad arguments, 3 when a
// wait runs out, 4 when the storage throws.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/Exceptions.h"
#include "shareddom/SharedDomFixture.h"

namespace settingstore::test {
namespace {

using Args = std::vector<std::string>;
constexpr int kMismatch = 1, kBadArguments = 2, kTimedOut = 3;

// Writes a result file whole, so that the test never reads half of it.
void Publish(const std::string& file, const std::string& text) {
  std::ofstream(file + ".part") << text;
  std::filesystem::rename(file + ".part", file);
}

// fill <storage> <part> [<hold file>]: writes part <part> of the sample tree;
// with a hold file, signs "<hold file>.ready", stays until the hold file
// exists and checks the part once more before it leaves.
int Fill(const Args& a) {
  SharedDomSession session(a[1]);
  WriteSample(*session.Root(), std::stoi(a[2]));
  if (a.size() == 3) return 0;
  TouchFile(a[3] + ".ready");
  if (!WaitForFile(a[3])) return kTimedOut;
  return HasSample(*session.Root(), std::stoi(a[2])) ? 0 : kMismatch;
}

// replace <storage>: in section Index, deletes key Gone (the later one, so
// that it is unlinked from behind its sibling), writes key Kept anew after
// deleting it, and replaces section Inner by one holding key Fresh.
int Replace(const Args& a) {
  SharedDomSession session(a[1]);
  Ref<IStorageSection> index(session.Root()->OpenSection("Index"));
  if (!index->DeleteKey("Gone") || !index->DeleteKey("Kept")) return kMismatch;
  WriteString(*index, "Kept", "second");
  Ref<IStorageSection>(index->OpenSection("Inner"))->DeleteKey("Old");
  if (!session.Root()->DeleteSection("Index/Inner")) return kMismatch;
  WriteString(*Ref<IStorageSection>(index->CreateSection("Inner")), "Fresh", "new");
  return 0;
}

// access-race <storage> <keys> <ready file> <go file>: at the go sign, takes
// an access record of nodes 1 to keys and leaves the references behind.
int AccessRace(const Args& a) {
  SharedDomSession session(a[1]);
  TouchFile(a[3]);
  if (!WaitForFile(a[4])) return kTimedOut;
  for (uint32_t i = 1; i <= std::stoul(a[2]); ++i) session.Access().TraitsOf(InitMemAddress(3, 16 * i));
  return 0;
}

// hold-node-lock <storage> <node> <ready file> [read]: takes the node's lock
// (with "read", enters a read of it), signs and waits to be killed.
int HoldNodeLock(const Args& a) {
  SharedDomSession session(a[1]);
  const InitMemAddress node(static_cast<uint32_t>(std::stoul(a[2])));
  if (a.size() == 4) {
    session.Access().LockNode(node);
  } else if (!session.Access().EnterRead(session.Access().TraitsOf(node))) {
    return kMismatch;
  }
  TouchFile(a[3]);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

// read-loop <storage> <reads> [<sign>]: reads key K of section Hot <reads>
// times (0: until killed), each value whole, signing after the first.
int ReadLoop(const Args& a) {
  SharedDomSession session(a[1]);
  Ref<IStorageSection> hot(session.Root()->OpenSection("Hot"));
  const long reads = std::stol(a[2]);
  for (long i = 0; reads == 0 || i < reads; ++i) {
    if (!ReadsWhole(*hot, "K")) return kMismatch;
    if (i == 0 && a.size() == 4) TouchFile(a[3]);
  }
  return 0;
}

// write-loop <storage> <sign>: writes key K of section Hot value after value
// until killed, signing after the first.
int WriteLoop(const Args& a) {
  SharedDomSession session(a[1]);
  Ref<IStorageSection> hot(session.Root()->OpenSection("Hot"));
  for (int n = 1;; ++n) {
    WriteString(*hot, "K", WholeValue(n));
    if (n == 1) TouchFile(a[2]);
  }
}

// string-hammer <name> <file> <seed> <count> <go> <out> <release>: two
// threads ask, at the go sign, for the SIDs of texts "Text-<i>" in random
// letter case and order, and must agree; the SIDs go to the out file, one a
// line, and the strings are held until the release sign.
int StringHammer(const Args& a) {
  const auto table = OpenStringTable(a[1], a[2]);
  const int count = std::stoi(a[4]);
  if (!WaitForFile(a[5])) return kTimedOut;
  std::vector<std::vector<StringRef>> held(2, std::vector<StringRef>(count));
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(std::stoul(a[3]) * 2 + t);
      std::vector<int> order(count);
      std::iota(order.begin(), order.end(), 0);
      std::shuffle(order.begin(), order.end(), random);
      for (int i : order) {
        std::string text = "Text-" + std::to_string(i);
        for (char& c : text)
          c = (random() & 1) != 0 ? static_cast<char>(std::toupper(c)) : static_cast<char>(std::tolower(c));
        held[t][i] = NameString(text);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  int result = 0;
  std::string sids;
  for (int i = 0; i < count; ++i) {
    if (held[0][i].GetSID() <= 0 || held[0][i].GetSID() != held[1][i].GetSID()) result = kMismatch;
    sids += std::to_string(held[0][i].GetSID()) + '\n';
  }
  Publish(a[6], sids);
  return WaitForFile(a[7]) ? result : kTimedOut;
}

// string-hold <name> <file> <text> <out> <release>: stores the text, writes
// its SID and its head's hive to the out file, and holds it until the
// release sign.
int StringHold(const Args& a) {
  const auto table = OpenStringTable(a[1], a[2]);
  const StringRef text = NameString(a[3]);
  Publish(a[4], std::to_string(text.GetSID()) + ' ' +
                    std::to_string(FindHead(table->Pages(), text.GetSID()).HiveNumber()));
  return WaitForFile(a[5]) ? 0 : kTimedOut;
}

// string-hold-root <name> <file> <sign>: takes the table's root lock, signs
// and waits to be killed.
int StringHoldRoot(const Args& a) {
  const auto table = OpenStringTable(a[1], a[2]);
  RootLock(table->Pages()).Lock(storage::GetSpinCount());
  TouchFile(a[3]);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

int Run(const Args& a) {
  const std::string command = a.empty() ? "" : a[0];
  const size_t n = a.size();
  if (command == "fill" && (n == 3 || n == 4)) return Fill(a);
  if (command == "replace" && n == 2) return Replace(a);
  if (command == "access-race" && n == 5) return AccessRace(a);
  if (command == "hold-node-lock" && (n == 4 || (n == 5 && a[4] == "read"))) return HoldNodeLock(a);
  if (command == "read-loop" && (n == 3 || n == 4)) return ReadLoop(a);
  if (command == "write-loop" && n == 3) return WriteLoop(a);
  if (command == "string-hammer" && n == 8) return StringHammer(a);
  if (command == "string-hold" && n == 6) return StringHold(a);
  if (command == "string-hold-root" && n == 4) return StringHoldRoot(a);
  return kBadArguments;
}

}  // namespace
}  // namespace settingstore::test

int main(int argc, char** argv) {
  try {
    return settingstore::test::Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (...) {
    std::fprintf(stderr, "shareddom_test_helper: %s\n", storage::CurrentFailure().message.c_str());
    return 4;
  }
}
