// What a stress thread did, by operation kind and by expected error code.
#ifndef SETTINGSTORE_TOOLS_STRESS_COUNTERS_H
#define SETTINGSTORE_TOOLS_STRESS_COUNTERS_H

#include <array>
#include <cstdint>
#include <optional>

namespace stress {

enum class OpKind : uint32_t {
  kNone = 0,
  kInitialize,
  kCreateSection,
  kOpenSection,
  kDeleteSection,
  kCreateKey,
  kOpenKey,
  kWrite,
  kRead,
  kGetType,
  kEnumKeys,
  kEnumSections,
  kDeleteKey,
  kDeinitialize,
  kCount
};
constexpr size_t kOpKinds = static_cast<size_t>(OpKind::kCount);

const char* OpName(OpKind kind);

// The error codes that concurrent work legitimately meets: a section deleted
// under a handle (-1), a name another thread removed (-2), a value replaced
// by one of another type between the steps of a read (-4), a section that is
// not empty or has no children (-6), a key created but not yet written (-10).
constexpr std::array<int32_t, 5> kExpectedCodes = {-1, -2, -4, -6, -10};

// The slot of `code` in kExpectedCodes, if it is one of them.
std::optional<size_t> ExpectedCodeIndex(int32_t code);

struct Counters {
  std::array<uint64_t, kOpKinds> operations{};
  std::array<uint64_t, kExpectedCodes.size()> expected{};
  uint64_t failures = 0;

  Counters& operator+=(const Counters& other);
  uint64_t TotalOperations() const;
};

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_COUNTERS_H
