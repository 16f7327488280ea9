// The names the campaign works on: a few top sections shared by everyone,
// each with sub-sections that come and go, keys that anybody creates, writes
// and deletes, and keys that one thread of one worker alone writes.
#ifndef SETTINGSTORE_TOOLS_STRESS_WORKLOAD_H
#define SETTINGSTORE_TOOLS_STRESS_WORKLOAD_H

#include <cstdint>
#include <string>

namespace stress {

constexpr int kSubSections = 4;
constexpr int kSharedKeys = 12;
constexpr int kOwnedKeysPerThread = 4;

std::string TopSection(int index);                                // "s3"
std::string SubSection(int top, int index);                       // "s3/sub1"
std::string SharedKey(int index);                                 // "k7"
std::string OwnedKey(uint32_t worker, size_t thread, int index);  // "o12-2-3"
// Where an owned key lives: spread over the top sections.
std::string OwnedPlace(uint32_t worker, size_t thread, int index, int sections);

// Whether a name may appear at all: a section name at the depth given (1 for
// children of the root), or a key name.
bool KnownSectionName(const std::string& name, int depth, int sections);
bool KnownKeyName(const std::string& name);

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_WORKLOAD_H
