// The thread-safe wrappers: what they hand back, what they keep alive, and
// that threads working through them on one document do not race.
#include "xmlfile/MTStorage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "XmlFilesTestSupport.h"
#include "XmlSectionTestSupport.h"

namespace {

using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;
using Controller = storage::MTStorageController<storage::XmlStorageController>;
using xmlsections::Names;
using xmlsections::Raised;
using namespace xmlfiles;

class MTStorageTest : public XmlFilesTest {
 protected:
  void SetUp() override {
    XmlFilesTest::SetUp();
    init_ = std::make_unique<RecordingInitializer>(Initializer());
    controller_.reset(new Controller(init_.get()));
  }
  void TearDown() override {
    controller_.reset();
    XmlFilesTest::TearDown();
  }

  std::unique_ptr<RecordingInitializer> init_;
  Ref<Controller> controller_;
};

TEST_F(MTStorageTest, TheRootIsOneWrapperAndKeysAreWrappedAnew) {
  Ref<IStorageSection> first(controller_->GetRoot());
  Ref<IStorageSection> second(controller_->GetRoot());
  EXPECT_EQ(first.get(), second.get());
  EXPECT_NE(dynamic_cast<storage::MTStorage*>(first.get()), nullptr);

  Ref<IStorageKey> created(first->CreateKey("Width"));
  Ref<IStorageKey> opened(second->OpenKey("WIDTH"));
  EXPECT_NE(created.get(), opened.get());
  EXPECT_NE(dynamic_cast<storage::MTStorageKey*>(opened.get()), nullptr);
  int32_t value = 42;
  created->Write(storage::TYPE_INTEGER, &value, sizeof value);
  EXPECT_EQ(opened->GetType(), storage::TYPE_INTEGER);
  EXPECT_EQ(opened->GetSize(), 4u);

  Ref<IStorageSection> section(first->CreateSection("a\\b"));
  EXPECT_NE(dynamic_cast<storage::MTStorage*>(section.get()), nullptr);
  EXPECT_EQ(Names(first->EnumSections()), std::vector<std::string>{"a"});
  EXPECT_TRUE(first->DeleteKey("width"));
  EXPECT_EQ(Names(first->EnumKeys()), std::vector<std::string>{});
}

TEST_F(MTStorageTest, AFailedCallRaisesTheInnerErrorAndLeavesTheLockFree) {
  Ref<IStorageSection> root(controller_->GetRoot());
  EXPECT_EQ(Raised([&] { Ref<IStorageKey>(root->OpenKey("missing")); }), "OpenException -6");
  EXPECT_EQ(Raised([&] { root->DeleteSection("missing"); }), "DeleteException -6");

  // Another thread would wait for ever on a lock left held.
  auto other = std::async(std::launch::async,
                          [&] { return Ref<IStorageKey>(root->CreateKey("after")).get() != nullptr; });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(other.get());
}

TEST_F(MTStorageTest, WrappersKeepTheDocumentAliveAfterTheController) {
  Ref<IStorageSection> root(controller_->GetRoot());
  Ref<IStorageSection> section(root->CreateSection("s"));
  Ref<IStorageKey> key(section->CreateKey("k"));
  root.reset();
  controller_.reset();
  EXPECT_TRUE(key->Write(storage::TYPE_STRING, "kept", 5));
  char text[8] = {};
  EXPECT_TRUE(key->Read(text, sizeof text));
  EXPECT_STREQ(text, "kept");
  EXPECT_EQ(Names(section->EnumKeys()), std::vector<std::string>{"k"});
}

// An inner key that counts its references and fails on demand.
class CountingKey : public IStorageKey {
 public:
  long AddRef() override { return ++refs; }
  long Release() override { return --refs; }
  bool Read(void*, unsigned) override { throw storage::IOException(-7); }
  bool Write(storage::Type, const void*, unsigned) override { return true; }
  storage::Type GetType() override { return storage::TYPE_STRING; }
  unsigned GetSize() override { return 3; }
  long refs = 1;
};

TEST_F(MTStorageTest, AKeyWrapperForwardsAndReleasesItsInnerKey) {
  CountingKey inner;
  auto document =
      std::make_shared<storage::XmlDocument>(std::unique_ptr<XmlNode>(XmlNode::CreateNode()));
  {
    Ref<IStorageKey> wrapper(new storage::MTStorageKey(&inner, document));
    EXPECT_EQ(inner.refs, 1) << "the wrapper takes over the caller's reference";
    EXPECT_EQ(wrapper->GetType(), storage::TYPE_STRING);
    EXPECT_EQ(wrapper->GetSize(), 3u);
    EXPECT_TRUE(wrapper->Write(storage::TYPE_STRING, "ab", 3));
    EXPECT_EQ(Raised([&] { wrapper->Read(nullptr, 0); }), "IOException -7");
    EXPECT_EQ(Raised([&] { wrapper->GetSize(); }), "nothing") << "the lock was left held";
  }
  EXPECT_EQ(inner.refs, 0);
}

TEST_F(MTStorageTest, TraitsWrapTheInnerTraits) {
  TraitsHolder traits(new Controller::Traits(new storage::XmlStorageController::Traits()));
  EXPECT_STREQ(traits->GetName(), "XML(Threadsafe)");
  EXPECT_TRUE(traits->IsThreadSafe());
  EXPECT_FALSE(traits->IsInterprocess());
  EXPECT_EQ(traits->GetType(), storage::STORAGE_XML);
}

// Eight threads: each fills a section of its own and all of them change one
// shared section through wrappers of their own, while one thread saves.
TEST_F(MTStorageTest, EightThreadsShareOneDocumentSafely) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 60;
  Ref<IStorageSection> root(controller_->GetRoot());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Ref<IStorageSection> own(root->CreateSection(("thread" + std::to_string(t)).c_str()));
      for (int round = 0; round < kRounds; ++round) {
        Ref<IStorageKey> key(own->CreateKey(("k" + std::to_string(round)).c_str()));
        int32_t value = t * 1000 + round;
        key->Write(storage::TYPE_INTEGER, &value, sizeof value);

        Ref<IStorageSection> shared(root->CreateSection("shared\\inner"));
        std::string text = "thread " + std::to_string(t);
        Ref<IStorageKey>(shared->CreateKey("last"))
            ->Write(storage::TYPE_STRING, text.c_str(), static_cast<unsigned>(text.size() + 1));
        Ref<IStorageKey> mine(shared->CreateKey(("t" + std::to_string(t)).c_str()));
        mine->Write(storage::TYPE_INTEGER, &value, sizeof value);
        Names(shared->EnumKeys());
        if (round % 3 == 0) shared->DeleteKey(("t" + std::to_string(t)).c_str());
        if (t == 0 && round % 20 == 0) controller_->Save();
      }
    });
  }
  for (auto& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    Ref<IStorageSection> own(root->OpenSection(("thread" + std::to_string(t)).c_str()));
    EXPECT_EQ(Names(own->EnumKeys()).size(), static_cast<size_t>(kRounds));
    int32_t value = 0;
    Ref<IStorageKey>(own->OpenKey(("k" + std::to_string(kRounds - 1)).c_str()))->Read(&value, sizeof value);
    EXPECT_EQ(value, t * 1000 + kRounds - 1);
  }
  Ref<IStorageSection> shared(root->OpenSection("shared/inner"));
  EXPECT_EQ(Names(shared->EnumKeys()).size(), static_cast<size_t>(kThreads + 1));
}

}  // namespace
