// Keys of a shared DOM: every value type with its sizes and edge cases,
// refused writes that keep the old value, exact values, and a key object
// whose key was deleted under it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SharedDOM/SharedDomFixture.h"

namespace settingstore::test {
namespace {

using Strings = std::vector<std::string>;

class KeysTest : public SharedDomTest {
 protected:
  Ref<IStorageKey> Key(const char* name) { return Ref<IStorageKey>(root_->CreateKey(name)); }
};

TEST_F(KeysTest, ANewKeyHasNoValueUntilAValidWrite) {
  Ref<IStorageKey> key = Key("Fresh");
  EXPECT_EQ(key->GetType(), storage::TYPE_UNKNOWN);
  EXPECT_EQ(key->GetSize(), 0u);
  char buffer[8] = {};
  EXPECT_EQ(Outcome([&] { return key->Read(buffer, sizeof buffer); }), "IOException -10");

  EXPECT_EQ(Outcome([&] { return key->Write(storage::TYPE_UNKNOWN, "x", 2); }), "IOException -10");
  EXPECT_EQ(Outcome([&] { return key->Write(static_cast<storage::Type>(5), "x", 2); }), "IOException -11");
  EXPECT_EQ(key->GetType(), storage::TYPE_UNKNOWN);

  WriteString(*key, "kept");
  EXPECT_EQ(Outcome([&] { return key->Write(storage::TYPE_UNKNOWN, "x", 2); }), "IOException -10");
  EXPECT_EQ(Outcome([&] { return key->Write(static_cast<storage::Type>(5), "x", 2); }), "IOException -11");
  EXPECT_EQ(key->GetType(), storage::TYPE_STRING);
  EXPECT_EQ(ReadBytes(*key), std::string("kept\0", 5));
}

TEST_F(KeysTest, IntegersAreFourUnsignedBytes) {
  Ref<IStorageKey> key = Key("Number");
  const int32_t minus_one = -1;
  EXPECT_TRUE(key->Write(storage::TYPE_INTEGER, &minus_one, 4));
  EXPECT_EQ(key->GetType(), storage::TYPE_INTEGER);
  EXPECT_EQ(key->GetSize(), 4u);
  EXPECT_EQ(ReadInteger(*key), 0xFFFFFFFFu);

  for (uint32_t value : {0u, 255u, 0x80000000u, 0x0BADF00Du}) {
    WriteInteger(*key, value);
    EXPECT_EQ(ReadInteger(*key), value);
  }

  // A larger buffer gets the four bytes and nothing more; a smaller one nothing.
  uint32_t wide[2] = {0, 0xA5A5A5A5u};
  EXPECT_TRUE(key->Read(wide, sizeof wide));
  EXPECT_EQ(wide[0], 0x0BADF00Du);
  EXPECT_EQ(wide[1], 0xA5A5A5A5u);
  char narrow[3] = {'x', 'x', 'x'};
  EXPECT_EQ(Outcome([&] { return key->Read(narrow, 3); }), "IOException -6");
  EXPECT_EQ(std::string(narrow, 3), "xxx");
}

TEST_F(KeysTest, AnIntegerWriteOfAnotherSizeIsRefusedAndKeepsTheValue) {
  Ref<IStorageKey> key = Key("Number");
  WriteInteger(*key, 7);
  const uint64_t eight_bytes = 0x1122334455667788u;
  EXPECT_EQ(Outcome([&] { return key->Write(storage::TYPE_INTEGER, &eight_bytes, 8); }), "IOException -6");
  EXPECT_EQ(Outcome([&] { return key->Write(storage::TYPE_INTEGER, &eight_bytes, 3); }), "IOException -6");
  EXPECT_EQ(key->GetType(), storage::TYPE_INTEGER);
  EXPECT_EQ(ReadInteger(*key), 7u);
}

TEST_F(KeysTest, StringsCountTheirTerminatorAndCopyWhatFits) {
  Ref<IStorageKey> key = Key("Text");
  char text[10] = "abc";  // a size beyond the text does not make it longer
  EXPECT_TRUE(key->Write(storage::TYPE_STRING, text, sizeof text));
  EXPECT_EQ(key->GetType(), storage::TYPE_STRING);
  EXPECT_EQ(key->GetSize(), 4u);

  char buffer[6];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_TRUE(key->Read(buffer, 2));
  EXPECT_EQ(std::string(buffer, 6), "abxxxx") << "two bytes and no terminator";
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_TRUE(key->Read(buffer, sizeof buffer));
  EXPECT_EQ(std::string(buffer, 6), std::string("abc\0xx", 6)) << "the text and its terminator, no more";

  EXPECT_TRUE(key->Write(storage::TYPE_STRING, "ignored", 0));
  EXPECT_EQ(key->GetSize(), 1u) << "size 0 writes the empty text";
  EXPECT_EQ(ReadBytes(*key), std::string(1, '\0'));
}

TEST_F(KeysTest, BinaryValuesReadBackByteForByte) {
  Ref<IStorageKey> key = Key("Blob");
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(255 - b));
  bytes += std::string(4, '\0');
  WriteBytes(*key, storage::TYPE_BINARY, bytes);
  EXPECT_EQ(key->GetType(), storage::TYPE_BINARY);
  EXPECT_EQ(key->GetSize(), bytes.size());
  EXPECT_EQ(ReadBytes(*key), bytes);

  std::string short_buffer(bytes.size() - 1, 'x');
  EXPECT_FALSE(key->Read(short_buffer.data(), static_cast<unsigned>(short_buffer.size())));

  WriteBytes(*key, storage::TYPE_BINARY, "");
  EXPECT_EQ(key->GetType(), storage::TYPE_BINARY);
  EXPECT_EQ(key->GetSize(), 0u);
  char untouched[2] = {'x', 'x'};
  EXPECT_TRUE(key->Read(untouched, sizeof untouched));
  EXPECT_EQ(std::string(untouched, 2), "xx");
}

TEST_F(KeysTest, MultiStringsEndAtTheirDoubleZero) {
  Ref<IStorageKey> key = Key("List");
  const std::string list("a\0b\0\0", 5);
  WriteBytes(*key, storage::TYPE_MULTI_STRING, list);
  EXPECT_EQ(key->GetType(), storage::TYPE_MULTI_STRING);
  EXPECT_EQ(key->GetSize(), 5u);
  EXPECT_EQ(ReadBytes(*key), list);
  char short_buffer[4];
  EXPECT_FALSE(key->Read(short_buffer, sizeof short_buffer));

  // What follows the closing empty text is not part of the value.
  WriteBytes(*key, storage::TYPE_MULTI_STRING, std::string("one\0\0tail", 9));
  EXPECT_EQ(key->GetSize(), 5u);
  EXPECT_EQ(ReadBytes(*key), std::string("one\0\0", 5));
}

TEST_F(KeysTest, WritesNeverReadPastTheCallersSize) {
  // Buffers of exactly the given size, without the zero bytes that would
  // end their texts: the sanitizer builds catch any byte read beyond them.
  const auto exact = [](const char* bytes, size_t size) {
    auto buffer = std::make_unique<char[]>(size);
    std::memcpy(buffer.get(), bytes, size);
    return buffer;
  };
  Ref<IStorageKey> text = Key("Text");
  EXPECT_TRUE(text->Write(storage::TYPE_STRING, exact("abc", 3).get(), 3));
  EXPECT_EQ(ReadBytes(*text), std::string("abc\0", 4));

  Ref<IStorageKey> list = Key("List");
  EXPECT_TRUE(list->Write(storage::TYPE_MULTI_STRING, exact("a\0b", 3).get(), 3));
  EXPECT_EQ(list->GetType(), storage::TYPE_MULTI_STRING);
  EXPECT_EQ(ReadBytes(*list), std::string("a\0b\0\0", 5)) << "an unclosed list is closed";
}

TEST_F(KeysTest, ValuesKeepTheirExactBytes) {
  // Equal but for case, and equal but for case to names the storage itself uses.
  const Strings texts{"abc", "AbC", "ABC", "SECTION", "Key", "NAME", "Integer", "Unknown"};
  for (size_t i = 0; i < texts.size(); ++i) WriteString(*Key(("Text" + std::to_string(i)).c_str()), texts[i]);
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(ReadBytes(*Key(("Text" + std::to_string(i)).c_str())), texts[i] + std::string(1, '\0'));
  }

  // Values whose encoded texts differ only in letter case.
  const std::string zeros("\x00\x00\x00", 3);
  const std::string swapped("\x69\xA6\x9A", 3);
  const std::string list("abcd\0\0", 6);
  const std::string swapped_list("\xCB\x08\xC9\x64\0\0", 6);
  WriteBytes(*Key("Zeros"), storage::TYPE_BINARY, zeros);
  WriteBytes(*Key("Swapped"), storage::TYPE_BINARY, swapped);
  WriteBytes(*Key("List"), storage::TYPE_MULTI_STRING, list);
  WriteBytes(*Key("SwappedList"), storage::TYPE_MULTI_STRING, swapped_list);
  EXPECT_EQ(ReadBytes(*Key("Zeros")), zeros);
  EXPECT_EQ(ReadBytes(*Key("Swapped")), swapped);
  EXPECT_EQ(ReadBytes(*Key("List")), list);
  EXPECT_EQ(ReadBytes(*Key("SwappedList")), swapped_list);
}

TEST_F(KeysTest, KeysWithEqualValuesChangeIndependently) {
  Ref<IStorageKey> first = Key("First");
  Ref<IStorageKey> second = Key("Second");
  WriteString(*first, "same");
  WriteString(*second, "same");
  WriteString(*first, "other");
  EXPECT_EQ(ReadBytes(*second), std::string("same\0", 5));

  WriteInteger(*first, 3);
  EXPECT_EQ(first->GetType(), storage::TYPE_INTEGER);
  EXPECT_TRUE(root_->DeleteKey("First"));
  EXPECT_EQ(ReadBytes(*second), std::string("same\0", 5));
  WriteString(*Key("Third"), "same");
  second.reset();
  EXPECT_TRUE(root_->DeleteKey("Second"));
  EXPECT_EQ(ReadBytes(*Key("Third")), std::string("same\0", 5));
}

TEST_F(KeysTest, AWriteThroughAnOldObjectBringsADeletedKeyBackUnderItsName) {
  Ref<IStorageKey> width = Key("Width");
  WriteInteger(*width, 1);
  WriteInteger(*Key("Height"), 2);
  EXPECT_TRUE(root_->DeleteKey("Width"));
  EXPECT_EQ(Outcome([&] { return root_->OpenKey("Width"); }), "OpenException -2");
  EXPECT_EQ(Outcome([&] { return width->GetType(); }), "IOException -1");
  EXPECT_EQ(Outcome([&] { return width->GetSize(); }), "IOException -1");
  uint32_t value = 0;
  EXPECT_EQ(Outcome([&] { return width->Read(&value, 4); }), "IOException -1");

  WriteInteger(*width, 3);
  EXPECT_EQ(Names(root_->EnumKeys()), (Strings{"Height", "Width"}));
  EXPECT_EQ(ReadInteger(*width), 3u);
  EXPECT_EQ(ReadInteger(*Ref<IStorageKey>(root_->OpenKey("WIDTH"))), 3u);
  WriteInteger(*width, 4);
  EXPECT_EQ(ReadInteger(*Ref<IStorageKey>(root_->OpenKey("Width"))), 4u) << "the object follows the new key";
  EXPECT_EQ(Names(root_->EnumKeys()), (Strings{"Height", "Width"}));
}

// Size and text are read under two holdings of the lock; a write between
// them must not make the copy run past the text that was read.
TEST_F(KeysTest, AStringReadNeverCopiesBeyondItsText) {
  const std::string short_text = "S";
  const std::string long_text = "L" + std::string(200, 'l');
  Ref<IStorageKey> key = Key("Racing");
  WriteString(*key, short_text);
  std::atomic<bool> done{false};
  std::jthread writer([&] {
    for (int i = 0; i < 400; ++i) WriteString(*key, i % 2 == 0 ? long_text : short_text);
    done = true;
  });
  int reads = 0;
  while (!done || reads == 0) {
    std::string buffer(long_text.size() + 8, '#');
    ASSERT_TRUE(key->Read(buffer.data(), static_cast<unsigned>(buffer.size())));
    const std::string& text = buffer[0] == 'S' ? short_text : long_text;
    const size_t end = buffer.find('#');
    ASSERT_LE(end, text.size() + 1) << "copied past the text: " << buffer;
    ASSERT_EQ(buffer.compare(0, end, text.c_str(), end), 0) << buffer;
    ++reads;
  }
}

TEST_F(KeysTest, ALongTextWhoseFileCannotBeWrittenFailsItsOperationAlone) {
  Ref<IStorageKey> key = Key("Long");
  WriteString(*key, "short");
  // Long texts live in files beside the hives: with the storage directory
  // turned into a plain file, not even root can make one.
  const std::filesystem::path directory = StoragePath();
  const std::filesystem::path away = directory.string() + ".away";
  std::filesystem::rename(directory, away);
  std::ofstream(directory).put('x');
  const std::string long_text(2000, 'x');
  const auto code_of = [](auto&& operation) {
    try {
      operation();
    } catch (const storage::Exception& error) {
      return error.GetErrorCode();
    }
    return 0;
  };
  const int write_code = code_of([&] { WriteString(*key, long_text); });
  const int create_code = code_of([&] { Ref<IStorageKey>(root_->CreateKey(long_text.c_str())); });
  std::filesystem::remove(directory);
  std::filesystem::rename(away, directory);

  constexpr int kCannotBeStored = -3;
  EXPECT_EQ(write_code, kCannotBeStored);
  EXPECT_EQ(create_code, kCannotBeStored);
  EXPECT_EQ(ReadBytes(*key), std::string("short", 6));
  WriteString(*key, long_text);
  EXPECT_EQ(ReadBytes(*key), long_text + '\0');
}

}  // namespace
}  // namespace settingstore::test
