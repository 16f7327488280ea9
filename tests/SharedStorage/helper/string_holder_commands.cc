// Helper command of the string holder tests: another process that reads and
// counts a string the test stored.
#include <cstdio>
#include <string>
#include <vector>

#include "SharedStorage/helper/StringHolderSupport.h"
#include "shm/helper/commands.h"
#include "storage/storage.h"

namespace settingstore::test {
namespace {

// string-holder-use <segment name> <sid> <text> <rounds> <keep>: binds a
// holder to the string with that SID, checks its text, takes and gives back
// a reference `rounds` times and, if keep is 1, leaves one more reference.
int StringHolderUse(const std::vector<std::string>& args) {
  if (args.size() != 5) return kShBadArguments;
  const auto sid = static_cast<int32_t>(std::stol(args[1]));
  const long rounds = std::stol(args[3]);
  try {
    storage::PageManager manager;
    StartPageManager(manager, args[0], "");
    storage::PageManager* pages = &manager;
    TestStringTable table("./");
    storage::StringHolderFactory factory(table, &pages);
    const storage::InitMemAddress head = FindHead(manager, sid);
    if (head.isNull()) return kShNotFound;
    const auto holder = factory.CreateFromBlock(head, 44);
    const std::string* text = holder->Text();
    if (text == nullptr || *text != args[2]) return kShWrongText;
    for (long round = 0; round < rounds; ++round) {
      if (!holder->AddRef()) return kShNoReference;
      holder->Release();
    }
    if (args[4] == "1" && !holder->AddRef()) return kShNoReference;
    return kShDone;
  } catch (const storage::TechnicalException& e) {
    std::fprintf(stderr, "string-holder-use: %s\n", e.what());
  } catch (const storage::AssertException& e) {
    std::fprintf(stderr, "string-holder-use: %s\n", e.What().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "string-holder-use: %s\n", e.what());
  }
  return kShThrew;
}

const HelperCommandRegistrar kStringHolderUse("string-holder-use", StringHolderUse);

}  // namespace
}  // namespace settingstore::test
