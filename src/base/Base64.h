// Base64 (RFC 4648 alphabet, "=" padding, no line breaks) into and out of
// caller-supplied buffers. Nothing is allocated and no NUL is written; the
// caller learns the size to supply by calling with a null destination.
#ifndef SETTINGSTORE_BASE_BASE64_H
#define SETTINGSTORE_BASE_BASE64_H

#include <cstddef>

namespace storage::base64 {

// Encodes n bytes of source. *length is the room at destination on entry; the
// needed length is 4 * ceil(n / 3).
// - null destination: stores the needed length in *length, returns false;
// - *length smaller than needed: returns false, writes and stores nothing;
// - otherwise stores the needed length, then returns false for a null source,
//   else writes the text and returns true.
// A null length pointer, or an n whose text length does not fit a size_t,
// gives false.
bool Encode(const void* source, size_t n, char* destination, size_t* length);

// Decodes n characters of source. False for a null length pointer or source,
// or an n that is not a multiple of 4. The decoded length is 3 * n / 4, less
// one for each "=" among the last two characters.
// - null destination: stores the decoded length in *length, returns false;
// - *length smaller than the decoded length: returns false, writes and stores
//   nothing;
// - otherwise stores the decoded length, writes exactly that many bytes and
//   returns true.
// "=" and characters outside the alphabet count as six zero bits.
bool Decode(const char* source, size_t n, void* destination, size_t* length);

}  // namespace storage::base64

#endif  // SETTINGSTORE_BASE_BASE64_H
