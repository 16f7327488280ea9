// shareddom_test_helper: another host of a shared DOM, for the tests that
// need more than one process. Each command brings the storage up, does its
// work and takes the storage down again.
//   fill <storage> <part> [<hold file>]
//       writes part <part> of the sample tree and checks it; with a hold
//       file, creates "<hold file>.ready", stays up until the hold file
//       exists, and checks the part once more before it leaves
//   check <storage> <part>
//       the storage holds part <part> of the sample tree and nothing else
//   live <storage>
//       writes Live/FromHelper, waits for the test's Live/FromTest, answers
//       with Live/Echo = FromTest + 1 and leaves when Live/Done appears
//   replace <storage>
//       in section Index: writes key Kept anew after deleting it, deletes
//       key Gone, and replaces section Inner by one that holds key Fresh
// Exit 0 on success, 1 on wrong content, 2 on bad arguments, 3 when a wait
// runs out, 4 when the storage throws.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "SharedDOM/SampleTree.h"
#include "SharedDOM/SharedDomTestSupport.h"

namespace settingstore::test {
namespace {

constexpr auto kWaitLimit = std::chrono::seconds(20);

int Mismatch(const std::string& what) {
  std::fprintf(stderr, "shareddom_test_helper: %s\n", what.c_str());
  return 1;
}

// Polls until done() holds; false when the limit runs out first.
bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

int Fill(IStorageSection& root, int part, const std::string& hold_file) {
  WriteSample(root, part);
  std::string problems = CheckSample(root, part);
  if (!problems.empty()) return Mismatch("after writing: " + problems);
  if (hold_file.empty()) return 0;

  std::ofstream(hold_file + ".ready").close();
  if (!WaitFor([&] { return std::filesystem::exists(hold_file); })) return 3;
  problems = CheckSample(root, part);
  return problems.empty() ? 0 : Mismatch("while held: " + problems);
}

int Check(IStorageSection& root, int part) {
  const std::vector<std::string> sections = Names(root.EnumSections());
  if (sections != std::vector<std::string>{SamplePartName(part)}) {
    return Mismatch("root holds " + std::to_string(sections.size()) + " sections");
  }
  if (!Names(root.EnumKeys()).empty()) return Mismatch("root holds keys");
  const std::string problems = CheckSample(root, part);
  return problems.empty() ? 0 : Mismatch(problems);
}

int Live(IStorageSection& root) {
  WriteString(*Ref<IStorageKey>(Ref<IStorageSection>(root.CreateSection("Live"))->CreateKey("FromHelper")),
              "written by the helper");
  Ref<IStorageKey> from_test;
  if (!WaitFor(
          [&] { return bool(from_test = FindValue(root, "Live", "FromTest", storage::TYPE_INTEGER)); })) {
    return 3;
  }
  const uint32_t echo = ReadInteger(*from_test) + 1;
  WriteInteger(*Ref<IStorageKey>(Ref<IStorageSection>(root.CreateSection("Live"))->CreateKey("Echo")), echo);
  return WaitFor([&] { return bool(FindValue(root, "Live", "Done", storage::TYPE_INTEGER)); }) ? 0 : 3;
}

int Replace(IStorageSection& root) {
  Ref<IStorageSection> index(root.OpenSection("Index"));
  if (!index->DeleteKey("Kept") || !index->DeleteKey("Gone")) return Mismatch("a key to delete is missing");
  WriteString(*Ref<IStorageKey>(index->CreateKey("Kept")), "second");
  Ref<IStorageSection>(index->OpenSection("Inner"))->DeleteKey("Old");
  if (!index->DeleteSection("Inner")) return Mismatch("section Inner is missing");
  WriteString(*Ref<IStorageKey>(Ref<IStorageSection>(index->CreateSection("Inner"))->CreateKey("Fresh")),
              "new");
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (args.size() < 2) return 2;
  const std::string& command = args[0];
  HostInitializer init(args[1]);
  SharedDomSession session(init);
  Ref<IStorageSection> root = session.Root();
  if (command == "fill" && (args.size() == 3 || args.size() == 4)) {
    return Fill(*root, std::atoi(args[2].c_str()), args.size() == 4 ? args[3] : "");
  }
  if (command == "check" && args.size() == 3) return Check(*root, std::atoi(args[2].c_str()));
  if (command == "live" && args.size() == 2) return Live(*root);
  if (command == "replace" && args.size() == 2) return Replace(*root);
  return 2;
}

}  // namespace
}  // namespace settingstore::test

int main(int argc, char** argv) {
  try {
    return settingstore::test::Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const storage::Exception& e) {
    std::fprintf(stderr, "shareddom_test_helper: storage::Exception %d\n", e.GetErrorCode());
  } catch (const storage::TechnicalException& e) {
    std::fprintf(stderr, "shareddom_test_helper: %s\n", e.what());
  }
  return 4;
}
