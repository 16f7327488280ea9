// Self-checking values: every value the stress campaign writes carries the
// place and key it was written to, its writer, a sequence number and a CRC,
// so that any read, at any moment, can be verified on its own.
#ifndef SETTINGSTORE_TOOLS_STRESS_VALUECHECK_H
#define SETTINGSTORE_TOOLS_STRESS_VALUECHECK_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace stress {

// Who wrote a value and when, as carried inside the value.
struct Stamp {
  std::string location;  // "<place>/<key>"
  uint32_t writer = 0;   // worker id
  uint32_t thread = 0;
  uint64_t sequence = 0;
};

// The bytes handed to IStorageKey::Write.
struct EncodedValue {
  storage::Type type = storage::TYPE_UNKNOWN;
  std::vector<char> bytes;
};

// Builds a value of `type` for `stamp` with `payloadLength` payload bytes
// drawn from `noise`. Integers carry only the location check and a 16-bit
// payload: they have no room for a writer or a sequence.
EncodedValue Encode(storage::Type type, const Stamp& stamp, uint64_t noise, size_t payloadLength);

// What a read gave back: the buffer Read filled (of any length) and its type.
// The stamp when the value passes its check and belongs to `location`; an
// empty result otherwise, with the reason in `why`. Integers give a stamp
// with writer, thread and sequence 0.
std::optional<Stamp> Decode(storage::Type type, const char* buffer, size_t length,
                            const std::string& location, std::string& why);

uint32_t Crc32(const void* data, size_t length, uint32_t seed = 0);

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_VALUECHECK_H
