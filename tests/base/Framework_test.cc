#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "base/Base64.h"
#include "base/Hash.h"
#include "base/HashHelper.h"
#include "base/NamedSync.h"
#include "base/NamesEnumerator.h"
#include "base/Thread.h"
#include "platform/Platform.h"
#include "storage/ref.h"

namespace storage {
namespace {

using namespace std::string_literals;
// One direction of the codec as a caller runs it: asks for the size, is
// refused one byte less without a write, then converts into exactly that
// room. nullopt when refused; `room` is offered when the size query refuses.
template <class Convert>
std::optional<std::string> Run(Convert convert, size_t room) {
  size_t length = room;
  EXPECT_FALSE(convert(nullptr, &length));
  std::string out(length, '#');
  if (size_t shorter = length - 1; length > 0) {
    EXPECT_FALSE(convert(out.data(), &shorter));
    EXPECT_EQ(shorter, length - 1);
    EXPECT_EQ(out, std::string(length, '#'));
  }
  if (!convert(out.data(), &length)) return std::nullopt;
  EXPECT_EQ(length, out.size());
  return out;
}
std::optional<std::string> Encode(const std::string& bytes) {
  return Run([&](char* to, size_t* length) { return base64::Encode(bytes.data(), bytes.size(), to, length); },
             0);
}
std::optional<std::string> Decode(const char* text, size_t n) {
  return Run([&](char* to, size_t* length) { return base64::Decode(text, n, to, length); }, 16);
}

// Round trips of generated values of every length modulo 3 run through the
// XML file in the API suite; these pin the standard alphabet and its padding.
TEST(Base64, KnownVectorsBothWaysAndInvalidInputs) {
  const std::pair<std::string, std::string> kVectors[] = {
      // clang-format off
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {"\0\xff\xfe\xfb"s, "AP/++w=="},
      // clang-format on
  };
  for (const auto& [bytes, text] : kVectors) {
    EXPECT_EQ(Encode(bytes), text);
    EXPECT_EQ(Decode(text.data(), text.size()), bytes) << text;
  }
  const std::tuple<const char*, size_t, std::optional<std::string>> kCases[] = {
      // clang-format off
      {"AQ=", 3, std::nullopt}, {"AQIDBA", 6, std::nullopt}, {nullptr, 4, std::nullopt},
      // Foreign characters and inner "=" read as zero bits.
      {"AQ*=", 4, std::string("\x01\0", 2)}, {"Q=JD", 4, "@\x02\x43"}, {"====", 4, std::string(1, '\0')},
      // clang-format on
  };
  for (const auto& [text, n, bytes] : kCases) EXPECT_EQ(Decode(text, n), bytes) << (text ? text : "null");
}

// The result bytes of hash type 0.
std::string Xxh32(const void* data, size_t size) {
  hash::HashFunction* result = hash::Factory::GetBuilderInstance(hash::kHashTypeXxh32)->Build(data, size);
  char bytes[6] = {};
  EXPECT_EQ(result->GetResult(bytes, sizeof bytes), 4u);  // no more than it has
  result->Release();
  return std::string(bytes, 4);
}

// Stored checksums depend on these exact values.
TEST(Hash, FixedAlgorithmsGiveTheirKnownValues) {
  // XXH32, seed 0, in little-endian order.
  EXPECT_EQ(Xxh32(nullptr, 0), "\x05\x5D\xCC\x02");
  EXPECT_EQ(Xxh32("settingstore", 12), "\x30\xB8\x9E\xB8");
  uint32_t word = hash::HashHelper<hash::kHashTypeXxh32>().Compute("abc", 3);
  EXPECT_EQ(std::memcmp(&word, "\xFF\x53\xD1\x32", 4), 0);  // in the same byte order
}

// The wrappers over the platform's named objects: who created an event, and
// a mutex that its holder takes again or that a thread left held.
TEST(Framework, NamedEventsAndMutexes) {
  const std::string name = "Local\\settingstore-test-base-" + std::to_string(storage::platform::CurrentProcessId());
  for (int life = 0; life < 2; ++life) {  // new again once every handle is gone
    EventEx first(name.c_str()), second(name.c_str());
    EXPECT_TRUE(first.Created());
    EXPECT_FALSE(second.Created());
    EXPECT_FALSE(first.Wait(0));
    second.Set();
    EXPECT_TRUE(first.Wait(0xFFFFFFFF));
  }
  Mutex mutex(false, (name + "-mutex").c_str());
  std::thread([&] {
    MutexGuard guard(mutex);
    mutex.Lock();  // and ends holding it
  }).join();
  EXPECT_NO_THROW(MutexGuard{mutex});
}

// Counts its runs; a fire-and-forget job deletes itself first.
struct CountingThread : threads::Thread {
  CountingThread(std::atomic<int>& runs, bool deleteItself) : runs(runs), deleteItself(deleteItself) {}
  int Run() override {
    std::atomic<int>& counter = runs;
    if (deleteItself) delete this;
    counter.fetch_add(1);
    return 0;
  }
  std::atomic<int>& runs;
  bool deleteItself;
};

TEST(Framework, ThreadsRunTheirBodyOnceElsewhere) {
  std::atomic<int> runs{0};
  // Polled: mingw-w64's std::atomic::wait can sleep through the notification.
  const auto awaitRunsPast = [&runs](int value) {
    while (runs.load() == value) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  CountingThread thread(runs, false);
  EXPECT_TRUE(thread.Launch());
  EXPECT_FALSE(thread.Launch());
  awaitRunsPast(0);
  EXPECT_TRUE((new CountingThread(runs, true))->Launch());
  awaitRunsPast(1);
  EXPECT_EQ(runs, 2);
}

TEST(Framework, NamesEnumeratorWalksCopiesInOrderAndStaysPastTheEndUntilReset) {
  std::string changing = "Width";
  Ref<NamesEnumerator> names(new NamesEnumerator);
  for (const char* name : {changing.c_str(), "", "height", "Width"}) names->Add(name);
  changing = "changed";
  EXPECT_THROW(names->Add(nullptr), std::invalid_argument);
  for (int walk = 0; walk < 2; ++walk, names->Reset()) {
    EXPECT_THROW(names->Current(), std::logic_error);  // before the first Next
    std::vector<std::string> seen;
    while (names->Next()) seen.emplace_back(names->Current());
    EXPECT_EQ(seen, (std::vector<std::string>{"Width", "", "height", "Width"}));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(names->Next());
    EXPECT_THROW(names->Current(), std::logic_error);
  }
}

}  // namespace
}  // namespace storage
