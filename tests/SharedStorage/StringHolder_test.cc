#include "shareddom/StringHolder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SharedStorage/helper/StringHolderSupport.h"
#include "platform/Platform.h"
#include "shareddom/ExternalStringHolder.h"
#include "shareddom/StringHolderFactory.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

using storage::ExternalStringHolder;
using storage::InitMemAddress;
using storage::IStringHolder;
using storage::StringHolderBase;
using storage::StringHolderFactory;

constexpr uint32_t kCountOffset = StringHolderBase::kCountOffset;
constexpr uint32_t kSidOffset = StringHolderBase::kSidOffset;

class StringHolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    const std::string id =
        std::to_string(storage::platform::CurrentProcessId()) + "_" + std::to_string(counter++);
    name_ = "Local\\shtest_" + id + "_";
    table_ = std::make_unique<TestStringTable>(directory_.path().string() + "/");
    StartPageManager(manager_, name_, "");
    factory_ = std::make_unique<StringHolderFactory>(*table_, &pages_);
  }

  // A new string with one reference, entered in the table's index.
  IStringHolder* Store(int32_t sid, const std::string& text) {
    return table_->Enter(sid, factory_->Create(sid, text));
  }
  // A second holder of the same string, as another process would bind it.
  std::unique_ptr<IStringHolder> Bind(IStringHolder* holder, int32_t size) {
    return factory_->CreateFromBlock(Head(holder), size);
  }
  static InitMemAddress Head(IStringHolder* holder) {
    return dynamic_cast<StringHolderBase&>(*holder).HeadAddress();
  }
  uint32_t Word(IStringHolder* holder, uint32_t offset) { return WordAt(manager_, Head(holder), offset); }
  std::vector<int32_t> Sizes() {
    std::vector<int32_t> sizes;
    for (const Block& block : Blocks(manager_)) sizes.push_back(block.size);
    return sizes;
  }
  // The unscrambled bytes of a block's payload.
  std::vector<uint8_t> RawPayload(const InitMemAddress& address) {
    const auto* block = static_cast<const uint8_t*>(manager_.GetPoint(address));
    return std::vector<uint8_t>(block + 4, block + 36);
  }
  std::vector<std::filesystem::path> ExternalFiles() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory_.path()))
      files.push_back(entry.path());
    return files;
  }

  std::string name_;
  TempDirectory directory_;
  storage::PageManager manager_;
  storage::PageManager* pages_ = &manager_;
  std::unique_ptr<TestStringTable> table_;
  std::unique_ptr<StringHolderFactory> factory_;
};

TEST_F(StringHolderTest, TextsReadBackExactlyFromAnotherHolder) {
  int32_t sid = 0;
  for (size_t length : {1, 2, 31, 32, 33, 63, 64, 65, 500, 1023}) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(1 + (i * 37) % 255));
    IStringHolder* holder = Store(++sid, text);
    const auto other = Bind(holder, 44);
    ASSERT_NE(other->Text(), nullptr) << length;
    EXPECT_EQ(*other->Text(), text) << length;
    EXPECT_EQ(other->CurrentSID(), sid);
    EXPECT_EQ(other->Hash(), holder->Hash());
  }
}

TEST_F(StringHolderTest, ThirtyTwoBytesFillTheHeadAndThirtyThreeNeedOneChunk) {
  IStringHolder* full = Store(1, std::string(32, 'x'));
  EXPECT_EQ(Sizes(), (std::vector<int32_t>{44}));
  EXPECT_EQ(Word(full, 0), InitMemAddress::kNull);                 // no chunk follows
  for (uint8_t byte : RawPayload(Head(full))) EXPECT_NE(byte, 0);  // no terminator

  IStringHolder* longer = Store(2, std::string(32, 'x') + "y");
  EXPECT_EQ(Sizes(), (std::vector<int32_t>{44, 44, 36}));
  const InitMemAddress chunk(Word(longer, 0));
  const std::vector<uint8_t> payload = RawPayload(chunk);
  EXPECT_EQ(payload[0], StringHolderBase::Scramble('y', 0));
  EXPECT_EQ(payload[1], 0);
  EXPECT_EQ(WordAt(manager_, chunk, 0), InitMemAddress::kNull);
  EXPECT_EQ(*Bind(longer, 44)->Text(), std::string(32, 'x') + "y");
}

TEST_F(StringHolderTest, EmptyTextLivesInTheHeadAlone) {
  IStringHolder* holder = Store(1, "");
  EXPECT_EQ(Sizes(), (std::vector<int32_t>{44}));
  const auto other = Bind(holder, 44);
  ASSERT_NE(other->Text(), nullptr);
  EXPECT_EQ(*other->Text(), "");
  EXPECT_EQ(other->Hash(), 0);  // the empty text hashes to 0
}

TEST_F(StringHolderTest, PayloadIsScrambledByteByByte) {
  IStringHolder* holder = Store(1, "AA");
  const std::vector<uint8_t> payload = RawPayload(Head(holder));
  EXPECT_EQ(payload[0], 0x0A);
  EXPECT_EQ(payload[1], 0x28);
  EXPECT_EQ(payload[2], 0);
  EXPECT_EQ(payload[3], 0xCC);  // the rest keeps the allocation fill
  for (size_t j = 0; j < 32; ++j) {
    for (int byte = 0; byte < 256; ++byte) {
      ASSERT_EQ(StringHolderBase::Unscramble(StringHolderBase::Scramble(static_cast<uint8_t>(byte), j), j),
                byte);
    }
  }
}

TEST_F(StringHolderTest, ExternalThresholdIs1024Bytes) {
  IStringHolder* inside = Store(1, std::string(1023, 'a'));
  EXPECT_EQ(Sizes().front(), 44);
  EXPECT_EQ(Sizes().size(), 32u);  // the head and 31 chunks
  EXPECT_TRUE(ExternalFiles().empty());
  EXPECT_EQ(dynamic_cast<ExternalStringHolder*>(inside), nullptr);

  const std::string text = std::string(1000, 'b') + "\r\nline\n" + std::string(100, 'C');
  IStringHolder* outside = Store(2, text);
  const std::vector<std::filesystem::path> files = ExternalFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].filename().string().starts_with("external_"));
  EXPECT_EQ(files[0].extension(), ".dm2");
  std::ifstream file(files[0], std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), text);

  const std::vector<Block> blocks = Blocks(manager_);
  const InitMemAddress head = Head(outside);
  bool found = false;
  for (const Block& block : blocks) found |= block.address == head && block.size == 48;
  EXPECT_TRUE(found);
  EXPECT_EQ(Word(outside, 44), StringHolderFactory::GetHash(text));
  const auto other = Bind(outside, 48);
  EXPECT_EQ(*other->Text(), text);
  EXPECT_EQ(other->Hash(), static_cast<int32_t>(StringHolderFactory::GetHash(text)));
}

// A chain that links outside the hives: while the string lives, that is
// damage (-13 for the operation, and the storage stays usable); once its SID
// is gone, it is what a reader meets when another process frees the string
// under it, and the read just finds no text.
TEST_F(StringHolderTest, AChainLinkingOutsideTheHivesIsDamageUnlessTheStringIsGone) {
  IStringHolder* holder = Store(1, std::string(100, 'm'));
  auto* head = static_cast<uint32_t*>(manager_.GetPoint(Head(holder)));
  std::atomic_ref<uint32_t> next(head[StringHolderBase::kNextOffset / 4]);
  const uint32_t link = next.exchange(0x0C000010u);
  EXPECT_THROW(Bind(holder, 44)->Text(), storage::InternalStructureException);

  const auto reader = Bind(holder, 44);
  std::atomic_ref<uint32_t> sid(head[kSidOffset / 4]);
  sid.store(2);  // freed, and the head reused by another string
  EXPECT_EQ(reader->Text(), nullptr);
  sid.store(1);
  next.store(link);  // so that the string can be freed at the end
}

TEST_F(StringHolderTest, HashIgnoresCase) {
  using F = StringHolderFactory;
  EXPECT_EQ(F::GetHash("Width"), F::GetHash("WIDTH"));
  EXPECT_EQ(F::GetHash("Width"), F::GetHash("width"));
  EXPECT_NE(F::GetHash("Width"), F::GetHash("Height"));
  EXPECT_EQ(F::GetHash(""), 0u);
  const std::string longText(3000, 'q');
  EXPECT_EQ(F::GetHash(longText), F::GetHash(std::string(3000, 'Q')));
  EXPECT_NE(F::GetHash(longText), F::GetHash(longText + "q"));
  EXPECT_EQ(Store(1, "MixedCase")->Hash(), static_cast<int32_t>(F::GetHash("mixedcase")));
}

TEST_F(StringHolderTest, ReferencesAreCountedAndTheLastFreesTheString) {
  IStringHolder* holder = Store(7, "counted");
  const InitMemAddress head = Head(holder);
  const auto other = Bind(holder, 44);
  EXPECT_EQ(Word(holder, kCountOffset), 1u);
  ASSERT_TRUE(other->AddRef());
  ASSERT_TRUE(holder->AddRef());
  EXPECT_EQ(Word(holder, kCountOffset), 3u);
  other->Release();
  holder->Release();
  EXPECT_EQ(Word(holder, kCountOffset), 1u);
  EXPECT_TRUE(table_->Has(7));

  other->Release();  // the last reference: the indexed holder frees and goes
  EXPECT_FALSE(table_->Has(7));
  EXPECT_TRUE(Sizes().empty());
  EXPECT_EQ(other->CurrentSID(), -1);
  EXPECT_FALSE(other->AddRef());
  EXPECT_EQ(other->Text(), nullptr);
  EXPECT_EQ(other->Hash(), -1);
  other->Release();  // nothing left to give back
  EXPECT_EQ(table_->removals, 1);
  EXPECT_NE(WordAt(manager_, head, kSidOffset), 7u);
}

TEST_F(StringHolderTest, LastReleaseFreesAStringOutsideTheIndex) {
  for (const std::string& text : {std::string("unindexed"), std::string(1200, 'e')}) {
    auto holder = factory_->Create(3, text);
    holder->Release();
    EXPECT_EQ(holder->CurrentSID(), -1);
    EXPECT_TRUE(Sizes().empty());
  }
}

TEST_F(StringHolderTest, FreeInvalidatesEveryHolderButNotTheBlocksReusedAfterIt) {
  IStringHolder* first = Store(1, "first");
  const auto stale = Bind(first, 44);
  ASSERT_NE(stale->Text(), nullptr);  // cached before the free
  first->Free();
  EXPECT_EQ(stale->CurrentSID(), -1);
  EXPECT_FALSE(stale->AddRef());
  EXPECT_EQ(stale->Text(), nullptr);

  // Another string's head now lies where the freed one was.
  const InitMemAddress head = Head(first);
  auto* reused = static_cast<uint8_t*>(manager_.GetPoint(head));
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(reused + kSidOffset)).store(2);
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(reused + kCountOffset)).store(1);
  EXPECT_FALSE(stale->AddRef());
  stale->Free();
  EXPECT_EQ(WordAt(manager_, head, kSidOffset), 2u);
  EXPECT_EQ(WordAt(manager_, head, kCountOffset), 1u);
}

TEST_F(StringHolderTest, ExternalStringIsFoundFromAnotherDirectory) {
  const std::string text(2048, 'z');
  IStringHolder* holder = Store(5, text);
  const std::filesystem::path stored = ExternalFiles().at(0);
  const std::filesystem::path moved = directory_.path() / "moved";
  std::filesystem::create_directories(moved);
  std::filesystem::copy_file(stored, moved / stored.filename());
  std::ofstream(moved / stored.filename(), std::ios::app) << "!";
  table_->SetDirectory(moved.string() + "/");

  const auto other = Bind(holder, 48);
  const auto& external = dynamic_cast<ExternalStringHolder&>(*other);
  EXPECT_EQ(std::filesystem::path(external.Path()), moved / stored.filename());
  EXPECT_EQ(*other->Text(), text + "!");  // read from the moved file

  other->Free();  // the file stays for the last save, which may name it
  EXPECT_TRUE(std::filesystem::exists(moved / stored.filename()));
  EXPECT_EQ(holder->CurrentSID(), -1);
}

TEST_F(StringHolderTest, ExternalStringWithoutAFileIsNotCreated) {
  table_->SetDirectory((directory_.path() / "missing/").string());
  try {
    factory_->Create(1, std::string(1500, 'm'));
    FAIL() << "no error";
  } catch (const storage::ExternalFileError& e) {
    EXPECT_STREQ(e.what(), "Unable to create random file!");
  }
  EXPECT_TRUE(Sizes().empty());
}

TEST_F(StringHolderTest, ExternalStringWrittenIncompletelyLeavesNothing) {
  // A child process whose files may not grow past 100 bytes tries to store a
  // 2000-byte text into the shared hives.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      factory_->Create(1, std::string(2000, 'w'));
    } catch (const std::runtime_error&) {
      _exit(0);
    }
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the incomplete string was created";
  EXPECT_TRUE(ExternalFiles().empty());
  EXPECT_TRUE(Sizes().empty());
}

TEST_F(StringHolderTest, HoldersOfOneStringCountConcurrently) {
  IStringHolder* holder = Store(9, "shared by threads");
  std::vector<std::unique_ptr<IStringHolder>> others;
  for (int i = 0; i < 4; ++i) others.push_back(Bind(holder, 44));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (auto& other : others) {
    threads.emplace_back([&, raw = other.get()] {
      for (int round = 0; round < 2000; ++round) {
        if (!raw->AddRef()) ++failures;
        raw->Release();
      }
    });
    threads.emplace_back([&] {
      for (int round = 0; round < 200; ++round) {
        if (holder->Text() == nullptr || *holder->Text() != "shared by threads") ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Word(holder, kCountOffset), 1u);
  others[0]->Release();
  EXPECT_TRUE(Sizes().empty());
}

TEST_F(StringHolderTest, AnotherProcessReadsAndCountsTheString) {
  IStringHolder* holder = Store(11, "Hello from the test");
  HelperProcess reader({"string-holder-use", name_, "11", "Hello from the test", "3000", "1"});
  ASSERT_TRUE(reader.Started());
  for (int round = 0; round < 3000; ++round) {
    ASSERT_TRUE(holder->AddRef());
    holder->Release();
  }
  EXPECT_EQ(reader.Wait(), kShDone);
  EXPECT_EQ(Word(holder, kCountOffset), 2u);  // ours and the one the helper left

  HelperProcess wrong({"string-holder-use", name_, "11", "Hello from the TEST", "0", "0"});
  EXPECT_EQ(wrong.Wait(), kShWrongText);
  holder->Release();
  holder->Release();
  EXPECT_TRUE(Sizes().empty());
}

}  // namespace
}  // namespace settingstore::test
