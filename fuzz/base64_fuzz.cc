// Base64 decoding of any text: the length query and the decode agree, a
// buffer one byte short is refused untouched, the exact buffer is filled and
// nothing beyond it written; and any bytes encode and decode back to
// themselves.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "base/Base64.h"

namespace {

using storage::base64::Decode;
using storage::base64::Encode;

void CheckDecode(const char* text, size_t n) {
  size_t needed = 0;
  const bool queried = Decode(text, n, nullptr, &needed);
  fuzz::Check(!queried, "decode with a null destination returned true");
  if (n % 4 != 0) {
    std::vector<char> buffer(n);
    size_t length = buffer.size();
    fuzz::Check(!Decode(text, n, buffer.data(), &length), "decode accepted a length no multiple of 4");
    return;
  }
  fuzz::Check(needed <= n / 4 * 3, "decoded length above three quarters of the text");

  // Buffers of exactly the given length, so that a byte written beyond them
  // is caught (new[] gives a real pointer for 0 bytes too: null would ask
  // for the length).
  if (needed > 0) {
    const size_t short_length = needed - 1;
    std::unique_ptr<unsigned char[]> short_buffer(new unsigned char[short_length]);
    std::memset(short_buffer.get(), 0xA5, short_length);
    size_t length = short_length;
    fuzz::Check(!Decode(text, n, short_buffer.get(), &length), "decode filled a buffer too small");
    fuzz::Check(length == short_length, "a refused decode changed the length");
    for (size_t i = 0; i < short_length; ++i) fuzz::Check(short_buffer[i] == 0xA5, "a refused decode wrote");
  }
  std::unique_ptr<unsigned char[]> exact(new unsigned char[needed]);
  size_t length = needed;
  fuzz::Check(Decode(text, n, exact.get(), &length), "decode refused a buffer of the queried size");
  fuzz::Check(length == needed, "decode stored another length than it asked for");
}

void CheckRoundTrip(const uint8_t* bytes, size_t n) {
  size_t text_length = 0;
  fuzz::Check(!Encode(bytes, n, nullptr, &text_length), "encode with a null destination returned true");
  fuzz::Check(text_length == (n + 2) / 3 * 4, "encode asked for a wrong length");
  std::string text(text_length, '\0');
  size_t length = text.size();
  fuzz::Check(Encode(bytes, n, text.data(), &length), "encode refused a buffer of the queried size");
  std::unique_ptr<unsigned char[]> decoded(new unsigned char[n]);
  size_t decoded_length = n;
  fuzz::Check(Decode(text.data(), text.size(), decoded.get(), &decoded_length),
              "decode refused an encoded text");
  fuzz::Check(decoded_length == n && (n == 0 || std::memcmp(decoded.get(), bytes, n) == 0),
              "bytes did not survive encode and decode");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libFuzzer's buffer is exactly the input, so a read past it is caught.
  // An empty input may come without a buffer; null means "no source" here.
  static const uint8_t kNothing = 0;
  const uint8_t* bytes = data != nullptr ? data : &kNothing;
  CheckDecode(reinterpret_cast<const char*>(bytes), size);
  CheckRoundTrip(bytes, size);
  return 0;
}
