// Sections of a shared DOM as a host sees them: paths, names, enumeration,
// deletion, and what a section object does once its section is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "SharedDOM/SharedDomFixture.h"

namespace settingstore::test {
namespace {

using Strings = std::vector<std::string>;

using SectionsTest = SharedDomTest;

TEST_F(SectionsTest, SectionsAndKeysAreCreatedFoundAndDeleted) {
  {
    Ref<IStorageSection> net(root_->CreateSection("Net"));
    Ref<IStorageKey> port(net->CreateKey("Port"));
    WriteInteger(*port, 8080);
  }
  Ref<IStorageSection> net(root_->OpenSection("Net"));
  EXPECT_EQ(ReadInteger(*Ref<IStorageKey>(net->OpenKey("Port"))), 8080u);
  Ref<IStorageSection> again(root_->CreateSection("Net"));
  EXPECT_EQ(Names(again->EnumKeys()), Strings{"Port"}) << "creating an existing section opens it";

  EXPECT_TRUE(net->DeleteKey("Port"));
  EXPECT_EQ(Outcome([&] { return net->OpenKey("Port"); }), "OpenException -2");
  EXPECT_EQ(Names(again->EnumKeys()), Strings{});
  net.reset();
  again.reset();
  EXPECT_TRUE(root_->DeleteSection("Net"));
  EXPECT_EQ(Outcome([&] { return root_->OpenSection("Net"); }), "OpenException -2");
  EXPECT_EQ(Names(root_->EnumSections()), Strings{});
}

TEST_F(SectionsTest, APathMakesEveryMissingSectionAndReachesItAgain) {
  WriteString(*Ref<IStorageKey>(Ref<IStorageSection>(root_->CreateSection("a/b/c"))->CreateKey("k")), "deep");
  EXPECT_EQ(Names(root_->EnumSections()), Strings{"a"});
  Ref<IStorageSection> a(root_->OpenSection("a"));
  EXPECT_EQ(Names(a->EnumSections()), Strings{"b"});
  EXPECT_EQ(Names(Ref<IStorageSection>(a->OpenSection("b"))->EnumSections()), Strings{"c"});

  // Either separator, and runs of them, read as one.
  for (const char* path : {"a/b/c", "A\\B\\C", "a//b\\/c/", "/a/b/c"}) {
    Ref<IStorageSection> c(root_->OpenSection(path));
    EXPECT_EQ(ReadBytes(*Ref<IStorageKey>(c->OpenKey("k"))), std::string("deep\0", 5)) << path;
  }
  Ref<IStorageSection>(root_->CreateSection("a/b/d"));
  EXPECT_EQ(Names(Ref<IStorageSection>(root_->OpenSection("a/b"))->EnumSections()), (Strings{"c", "d"}));

  Ref<IStorageSection>(root_->OpenSection("a/b/c"))->DeleteKey("k");
  EXPECT_TRUE(root_->DeleteSection("a/b/c"));
  EXPECT_EQ(Names(Ref<IStorageSection>(root_->OpenSection("a/b"))->EnumSections()), Strings{"d"});
  EXPECT_EQ(Outcome([&] { return root_->OpenSection("a/b/c"); }), "OpenException -2");
}

TEST_F(SectionsTest, APathOfOnlySeparatorsIsTheSectionItself) {
  Ref<IStorageSection> parent(root_->CreateSection("Parent"));
  Ref<IStorageSection> opened(parent->OpenSection("/"));
  Ref<IStorageSection> created(parent->CreateSection("\\//"));
  WriteInteger(*Ref<IStorageKey>(opened->CreateKey("ViaOpened")), 1);
  WriteInteger(*Ref<IStorageKey>(created->CreateKey("ViaCreated")), 2);
  EXPECT_EQ(Names(parent->EnumKeys()), (Strings{"ViaOpened", "ViaCreated"}));
  EXPECT_EQ(Names(parent->EnumSections()), Strings{});

  // Deleting "the section itself" names nothing to delete.
  EXPECT_EQ(Outcome([&] { return parent->DeleteSection("//"); }), "DeleteException -5");
  EXPECT_EQ(Names(root_->EnumSections()), Strings{"Parent"});
}

TEST_F(SectionsTest, MissingNamesAreRefused) {
  EXPECT_EQ(Outcome([&] { return root_->OpenKey(nullptr); }), "OpenException -5");
  EXPECT_EQ(Outcome([&] { return root_->CreateKey(nullptr); }), "CreateException -5");
  EXPECT_EQ(Outcome([&] { return root_->OpenSection(nullptr); }), "OpenException -5");
  EXPECT_EQ(Outcome([&] { return root_->OpenSection(""); }), "OpenException -5");
  EXPECT_EQ(Outcome([&] { return root_->CreateSection(nullptr); }), "CreateException -5");
  EXPECT_EQ(Outcome([&] { return root_->CreateSection(""); }), "CreateException -5");
  EXPECT_EQ(Outcome([&] { return root_->DeleteSection(nullptr); }), "DeleteException -5");
  EXPECT_EQ(Outcome([&] { return root_->DeleteSection(""); }), "DeleteException -5");
  EXPECT_EQ(Names(root_->EnumKeys()), Strings{});
  EXPECT_EQ(Names(root_->EnumSections()), Strings{});
}

TEST_F(SectionsTest, AbsentItemsAreNotFound) {
  EXPECT_EQ(Outcome([&] { return root_->OpenKey("NeverStoredKeyName"); }), "OpenException -2");
  EXPECT_EQ(Outcome([&] { return root_->OpenSection("NeverStored/Section"); }), "OpenException -2");
  EXPECT_EQ(Outcome([&] { return root_->DeleteSection("NeverStoredSection"); }), "DeleteException -2");

  // A name that exists as a section is still no key, and the other way round.
  Ref<IStorageSection>(root_->CreateSection("OnlySection"));
  WriteInteger(*Ref<IStorageKey>(root_->CreateKey("OnlyKey")), 3);
  EXPECT_EQ(Outcome([&] { return root_->OpenKey("OnlySection"); }), "OpenException -2");
  EXPECT_EQ(Outcome([&] { return root_->OpenSection("OnlyKey"); }), "OpenException -2");
  EXPECT_EQ(Outcome([&] { return root_->DeleteKey("OnlySection"); }), "DeleteException -2");
  EXPECT_EQ(Outcome([&] { return root_->DeleteSection("OnlyKey"); }), "DeleteException -2");

  // A section with no children at all refuses any delete as a failed operation.
  Ref<IStorageSection> empty(root_->CreateSection("Empty"));
  EXPECT_EQ(Outcome([&] { return empty->DeleteKey("OnlyKey"); }), "DeleteException -6");
  EXPECT_EQ(Names(root_->EnumKeys()), Strings{"OnlyKey"});
  EXPECT_EQ(Names(root_->EnumSections()), (Strings{"OnlySection", "Empty"}));
}

TEST_F(SectionsTest, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  Ref<IStorageSection> display(root_->CreateSection("Display"));
  Ref<IStorageKey> width(display->CreateKey("Width"));
  WriteInteger(*width, 640);

  Ref<IStorageSection> shouted(root_->CreateSection("DISPLAY"));
  Ref<IStorageKey> same(shouted->CreateKey("WIDTH"));
  EXPECT_EQ(same->GetType(), storage::TYPE_INTEGER) << "CreateKey of an existing key keeps its value";
  EXPECT_EQ(ReadInteger(*same), 640u);
  WriteInteger(*same, 800);
  EXPECT_EQ(ReadInteger(*width), 800u) << "both objects are on one key";
  EXPECT_EQ(
      ReadInteger(*Ref<IStorageKey>(Ref<IStorageSection>(root_->OpenSection("display"))->OpenKey("wIdTh"))),
      800u);

  EXPECT_EQ(Names(root_->EnumSections()), Strings{"Display"});
  EXPECT_EQ(Names(display->EnumKeys()), Strings{"Width"});
  EXPECT_TRUE(display->DeleteKey("WiDtH"));
  EXPECT_EQ(Names(display->EnumKeys()), Strings{});
}

// A name reads back as the host first spelled it as a name: other texts
// that the storage holds do not lend it their case.
TEST_F(SectionsTest, ANameIsNotSpelledAfterAValue) {
  WriteString(*Ref<IStorageKey>(root_->CreateKey("Paint")), "COLOUR");
  Ref<IStorageSection>(root_->CreateSection("colour"));
  WriteInteger(*Ref<IStorageKey>(root_->CreateKey("Colour")), 1);
  EXPECT_EQ(Names(root_->EnumSections()), Strings{"colour"});
  EXPECT_EQ(Names(root_->EnumKeys()), (Strings{"Paint", "colour"}));
  EXPECT_EQ(ReadBytes(*Ref<IStorageKey>(root_->OpenKey("paint"))), std::string("COLOUR\0", 7));
}

TEST_F(SectionsTest, ANameIsNotSpelledAfterTheStoragesOwnWords) {
  Ref<IStorageSection>(root_->CreateSection("Value"));
  WriteInteger(*Ref<IStorageKey>(root_->CreateKey("Type")), 1);
  WriteInteger(*Ref<IStorageKey>(root_->CreateKey("SECTION")), 2);
  EXPECT_EQ(Names(root_->EnumSections()), Strings{"Value"});
  EXPECT_EQ(Names(root_->EnumKeys()), (Strings{"Type", "SECTION"}));
}

TEST_F(SectionsTest, AKeyAndASectionMayShareAName) {
  Ref<IStorageSection>(root_->CreateSection("Item"));
  WriteString(*Ref<IStorageKey>(root_->CreateKey("Item")), "value");
  EXPECT_EQ(Names(root_->EnumKeys()), Strings{"Item"});
  EXPECT_EQ(Names(root_->EnumSections()), Strings{"Item"});

  EXPECT_TRUE(root_->DeleteKey("Item"));
  EXPECT_EQ(Names(root_->EnumSections()), Strings{"Item"});
  EXPECT_TRUE(root_->DeleteSection("Item"));
  EXPECT_EQ(Names(root_->EnumSections()), Strings{});
}

TEST_F(SectionsTest, EnumerationKeepsCreationOrderAndSeparatesKinds) {
  for (const char* name : {"zeta", "Alpha", "mid"}) {
    WriteInteger(*Ref<IStorageKey>(root_->CreateKey(name)), 1);
    Ref<IStorageSection>(root_->CreateSection((std::string("S_") + name).c_str()));
  }
  EXPECT_EQ(Names(root_->EnumKeys()), (Strings{"zeta", "Alpha", "mid"}));
  EXPECT_EQ(Names(root_->EnumSections()), (Strings{"S_zeta", "S_Alpha", "S_mid"}));

  // A name deleted and made again goes to the end.
  EXPECT_TRUE(root_->DeleteKey("Alpha"));
  WriteInteger(*Ref<IStorageKey>(root_->CreateKey("Alpha")), 2);
  EXPECT_TRUE(root_->DeleteSection("S_zeta"));
  EXPECT_EQ(Names(root_->EnumKeys()), (Strings{"zeta", "mid", "Alpha"}));
  EXPECT_EQ(Names(root_->EnumSections()), (Strings{"S_Alpha", "S_mid"}));

  // An enumerator is a snapshot: later changes do not show in it.
  Ref<INamesEnumerator> snapshot(root_->EnumKeys());
  EXPECT_TRUE(root_->DeleteKey("zeta"));
  Strings seen;
  while (snapshot->Next()) seen.emplace_back(snapshot->Current());
  EXPECT_EQ(seen, (Strings{"zeta", "mid", "Alpha"}));
}

TEST_F(SectionsTest, ASectionWithContentIsNotDeleted) {
  Ref<IStorageSection> holder(root_->CreateSection("Holder"));
  WriteInteger(*Ref<IStorageKey>(holder->CreateKey("Kept")), 5);
  EXPECT_EQ(Outcome([&] { return root_->DeleteSection("Holder"); }), "NotEmptyException -6");
  EXPECT_EQ(ReadInteger(*Ref<IStorageKey>(holder->OpenKey("Kept"))), 5u);

  EXPECT_TRUE(holder->DeleteKey("Kept"));
  Ref<IStorageSection>(holder->CreateSection("Inner"));
  EXPECT_EQ(Outcome([&] { return root_->DeleteSection("Holder"); }), "NotEmptyException -6");
  EXPECT_EQ(Names(holder->EnumSections()), Strings{"Inner"});

  EXPECT_TRUE(root_->DeleteSection("Holder/Inner"));
  EXPECT_TRUE(root_->DeleteSection("Holder"));
  EXPECT_EQ(Names(root_->EnumSections()), Strings{});
}

TEST_F(SectionsTest, ADeletedSectionRefusesEveryOperation) {
  // A key of the same name keeps every name below in the string table, so
  // that the failures come from the deleted section and not from the lookup.
  WriteInteger(*Ref<IStorageKey>(root_->CreateKey("Probe")), 1);
  Ref<IStorageSection> gone(root_->CreateSection("Gone"));
  Ref<IStorageKey> orphan(gone->CreateKey("Probe"));
  WriteInteger(*orphan, 2);
  EXPECT_TRUE(gone->DeleteKey("Probe"));
  EXPECT_TRUE(root_->DeleteSection("Gone"));

  EXPECT_EQ(Outcome([&] { return gone->OpenKey("Probe"); }), "OpenException -1");
  EXPECT_EQ(Outcome([&] { return gone->CreateKey("Probe"); }), "CreateException -1");
  EXPECT_EQ(Outcome([&] { return gone->OpenSection("Probe"); }), "OpenException -1");
  EXPECT_EQ(Outcome([&] { return gone->CreateSection("Probe"); }), "CreateException -1");
  EXPECT_EQ(Outcome([&] { return gone->DeleteSection("Probe"); }), "DeleteException -1");
  EXPECT_EQ(Outcome([&] { return gone->DeleteKey("Probe"); }), "DeleteException -1");
  EXPECT_EQ(Outcome([&] { return gone->EnumKeys(); }), "IOException -1");
  EXPECT_EQ(Outcome([&] { return gone->EnumSections(); }), "IOException -1");

  // The key object of a deleted section neither reads nor brings it back.
  uint32_t value = 9;
  EXPECT_EQ(Outcome([&] { return orphan->Write(storage::TYPE_INTEGER, &value, 4); }), "IOException -1");
  EXPECT_EQ(Outcome([&] { return orphan->Read(&value, 4); }), "IOException -1");
  EXPECT_EQ(Outcome([&] { return orphan->GetType(); }), "IOException -1");
  EXPECT_EQ(Outcome([&] { return orphan->GetSize(); }), "IOException -1");

  // A new section of the old name starts empty; the old object stays dead.
  Ref<IStorageSection> fresh(root_->CreateSection("Gone"));
  EXPECT_EQ(Names(fresh->EnumKeys()), Strings{});
  EXPECT_EQ(Outcome([&] { return gone->EnumKeys(); }), "IOException -1");
  EXPECT_EQ(Names(root_->EnumSections()), Strings{"Gone"});
  EXPECT_EQ(ReadInteger(*Ref<IStorageKey>(root_->OpenKey("Probe"))), 1u);
}

TEST_F(SectionsTest, ConcurrentCreatesOfOneNameMakeOneChild) {
  constexpr int kNames = 40;
  auto create_all = [this](uint32_t mark) {
    for (int i = 0; i < kNames; ++i) {
      const std::string name = "n" + std::to_string(i);
      WriteInteger(*Ref<IStorageKey>(root_->CreateKey(name.c_str())), mark);
      Ref<IStorageSection>(root_->CreateSection(name.c_str()));
    }
  };
  std::thread first(create_all, 1u);
  std::thread second(create_all, 2u);
  first.join();
  second.join();

  Strings expected;
  for (int i = 0; i < kNames; ++i) expected.push_back("n" + std::to_string(i));
  Strings keys = Names(root_->EnumKeys());
  Strings sections = Names(root_->EnumSections());
  std::sort(keys.begin(), keys.end());
  std::sort(sections.begin(), sections.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(sections, expected);
  for (const std::string& name : expected) {
    const uint32_t value = ReadInteger(*Ref<IStorageKey>(root_->OpenKey(name.c_str())));
    EXPECT_TRUE(value == 1u || value == 2u) << name << " holds " << value;
  }
}

}  // namespace
}  // namespace settingstore::test
