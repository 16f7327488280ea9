// Named mappings: zero-filled creation, sharing between handles and processes,
// and a fresh start once the last holder is gone, killed ones included.
#include <algorithm>
#include <cstring>

#include "platform/NamedObjectTestSupport.h"
#include "platform/Platform.h"

namespace storage::platform {
namespace {

using testing::HelperProcess;

class NamedMappingTest : public testing::NamedObjectTest {};

constexpr size_t kSize = 3 * 4096 + 5;

bool AllBytesAre(const void* view, size_t size, unsigned char value) {
  const auto* bytes = static_cast<const unsigned char*>(view);
  return std::all_of(bytes, bytes + size, [value](unsigned char byte) { return byte == value; });
}

TEST_F(NamedMappingTest, NewMappingIsZeroFilledAndSharedBetweenHandles) {
  std::string name = Name("map");
  auto created = NamedMapping::Create(name.c_str(), kSize);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  ASSERT_EQ(created->Size(), kSize);
  auto* view = static_cast<unsigned char*>(created->Map());
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(AllBytesAre(view, kSize, 0));
  memset(view, 0x5A, kSize);

  auto opened = NamedMapping::Open(name.c_str());
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->Size(), kSize);
  auto* other = static_cast<unsigned char*>(opened->Map());
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(AllBytesAre(other, kSize, 0x5A));
  other[kSize - 1] = 1;
  EXPECT_EQ(view[kSize - 1], 1);

  created->Unmap();
  view = static_cast<unsigned char*>(created->Map());
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[kSize - 1], 1);

  auto again = NamedMapping::Create(name.c_str(), 4096);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_EQ(again->Size(), kSize);

  created.reset();
  opened.reset();
  again.reset();
  auto recreated = NamedMapping::Create(name.c_str(), kSize);
  ASSERT_NE(recreated, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_TRUE(AllBytesAre(recreated->Map(), kSize, 0));
}

TEST_F(NamedMappingTest, RefusesWhatItCannotProvide) {
  std::string name = Name("map");
  EXPECT_EQ(NamedMapping::Open(name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(NamedMapping::Create(name.c_str(), 0), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);

  auto small = NamedMapping::Create(name.c_str(), 4096);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(NamedMapping::Create(name.c_str(), 8192), nullptr);
  EXPECT_EQ(GetLastError(), kErrorNotEnoughMemory);
  // A mutex or an event cannot take a name that a mapping holds.
  EXPECT_EQ(NamedMutex::Create(name.c_str(), false), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_EQ(NamedEvent::Create(name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(NamedMappingTest, OtherProcessSeesTheSameBytesAndAKilledHolderNoLongerCounts) {
  std::string name = Name("map");
  HelperProcess holder({"hold", "mapping", name, std::to_string(kSize), "171"});
  ASSERT_EQ(holder.ReadLine().substr(0, 2), "0 ");
  {
    auto opened = NamedMapping::Open(name.c_str());
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->Size(), kSize);
    EXPECT_TRUE(AllBytesAre(opened->Map(), kSize, 171));
  }
  holder.Kill();
  auto recreated = NamedMapping::Create(name.c_str(), kSize);
  ASSERT_NE(recreated, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_TRUE(AllBytesAre(recreated->Map(), kSize, 0));
}

TEST_F(NamedMappingTest, OpeningWhatOnlyAKilledHolderHeldFindsNothingAndReclaimsIt) {
  std::string name = Name("map");
  HelperProcess holder({"hold", "mapping", name, "100", "1"});
  ASSERT_EQ(holder.ReadLine().substr(0, 2), "0 ");
  holder.Kill();
  // The stale file may already be gone: any process that starts using named
  // objects meanwhile sweeps files nobody holds. Either way nothing is found.
  EXPECT_EQ(NamedMapping::Open(name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_FALSE(FileExists("map"));
}

}  // namespace
}  // namespace storage::platform
