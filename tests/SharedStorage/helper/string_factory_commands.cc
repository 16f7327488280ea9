// Helper commands of the string factory tests: other processes that open the
// same string table as the test. Each waits for the test's go or release
// sign (a file) where the test needs the processes in step.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SharedStorage/helper/StringFactorySupport.h"
#include "shm/helper/commands.h"
#include "storage/storage.h"

namespace settingstore::test {
namespace {

using storage::StringAutoRelease;
using storage::StringFactory;

// Runs the body with the process's string factory open; exceptions become kSfThrew.
int WithFactory(const char* command, const std::vector<std::string>& args, size_t count,
                const std::function<int(StringFactory&)>& body) {
  if (args.size() != count) return kSfBadArguments;
  try {
    StringFactory factory(args[0].c_str(), args[1].c_str());
    return body(factory);
  } catch (const storage::TechnicalException& e) {
    std::fprintf(stderr, "%s: %s\n", command, e.what());
  } catch (const storage::AssertException& e) {
    std::fprintf(stderr, "%s: %s\n", command, e.What().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", command, e.what());
  }
  return kSfThrew;
}

// string-factory-hammer <name> <path> <seed> <count> <go file> <out file> <release file>:
// two threads ask, at the go sign, for the SIDs of the first `count` shared
// texts in random letter case and order; both must get the same SID for each
// text. Writes one SID a line to the out file and keeps every handle until
// the release sign, so that no string is freed while other processes still ask.
int Hammer(const std::vector<std::string>& args) {
  return WithFactory("string-factory-hammer", args, 7, [&](StringFactory& factory) {
    const unsigned seed = static_cast<unsigned>(std::stoul(args[2]));
    const int count = std::stoi(args[3]);
    if (!WaitForSign(args[4])) return static_cast<int>(kSfNoGoSign);
    std::vector<std::vector<StringAutoRelease>> handles(2, std::vector<StringAutoRelease>(count));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 random(seed * 2 + t);
        std::vector<int> order(count);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), random);
        for (int i : order) handles[t][i] = factory.GetSID(RandomCase(SharedText(i), random).c_str());
      });
    }
    for (std::thread& thread : threads) thread.join();
    std::ofstream out(args[5] + ".part");
    int result = kSfDone;
    for (int i = 0; i < count; ++i) {
      const int32_t sid = handles[0][i].GetSID();
      if (sid <= 0 || sid != handles[1][i].GetSID()) result = kSfMismatch;
      out << sid << '\n';
    }
    out.close();
    std::filesystem::rename(args[5] + ".part", args[5]);
    if (!WaitForSign(args[6])) return static_cast<int>(kSfNoGoSign);
    return result;
  });
}

// string-factory-hold-root <name> <path> <sign file>: takes the table's root
// lock, signs, and waits to be killed.
int HoldRoot(const std::vector<std::string>& args) {
  return WithFactory("string-factory-hold-root", args, 3, [&](StringFactory& factory) {
    RootLock(factory).lock(storage::GetSpinCount());
    TouchFile(args[2]);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    return static_cast<int>(kSfDone);
  });
}

// string-factory-exact <name> <path> <sid of QUJD> <sid of qujd>: both values
// are found byte for byte with the test's SIDs, a name in other letter case
// resolves to the lower SID, and a third spelling is not there.
int Exact(const std::vector<std::string>& args) {
  return WithFactory("string-factory-exact", args, 4, [&](StringFactory& factory) {
    const int32_t upper = std::stoi(args[2]);
    const int32_t lower = std::stoi(args[3]);
    const StringAutoRelease upperValue = factory.GetExactSID("QUJD");
    const StringAutoRelease lowerValue = factory.GetExactSID("qujd");
    const StringAutoRelease name = factory.GetSID("QuJd");
    const bool same =
        upperValue.GetSID() == upper && lowerValue.GetSID() == lower &&
        std::string(upperValue.GetString()) == "QUJD" && std::string(lowerValue.GetString()) == "qujd" &&
        name.GetSID() == std::min(upper, lower) && !factory.PeekExactSID("QuJd").IsValid();
    return static_cast<int>(same ? kSfDone : kSfMismatch);
  });
}

// string-factory-hold <name> <path> <fill> <text> <out file> <release file>:
// stores the text, first using up the first hive's fresh space when fill is 1
// (its head then lies in a later hive), writes its SID and head's hive, and
// keeps it until the release sign.
int Hold(const std::vector<std::string>& args) {
  return WithFactory("string-factory-hold", args, 6, [&](StringFactory& factory) {
    if (args[2] == "1") FillFirstHive(factory.pageManager());
    const StringAutoRelease text = factory.GetSID(args[3].c_str());
    const storage::InitMemAddress head = FindHead(factory.pageManager(), text.GetSID());
    std::ofstream(args[4] + ".part") << text.GetSID() << ' ' << head.hive() << '\n';
    std::filesystem::rename(args[4] + ".part", args[4]);
    if (!WaitForSign(args[5])) return static_cast<int>(kSfNoGoSign);
    return static_cast<int>(kSfDone);
  });
}

const HelperCommandRegistrar kHammer("string-factory-hammer", Hammer);
const HelperCommandRegistrar kHoldRoot("string-factory-hold-root", HoldRoot);
const HelperCommandRegistrar kExact("string-factory-exact", Exact);
const HelperCommandRegistrar kHold("string-factory-hold", Hold);

}  // namespace
}  // namespace settingstore::test
