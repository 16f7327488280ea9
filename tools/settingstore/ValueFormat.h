// Key values between their stored bytes and the text a shell user reads and
// types.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_VALUEFORMAT_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_VALUEFORMAT_H

#include <string>
#include <vector>

#include "storage/storage.h"

namespace cli {

// "string", "int", "binary", "multi"; "unset" for a key never written.
const char* TypeName(storage::Type type);
// The inverse of TypeName for the four value types; a usage error otherwise.
storage::Type ParseTypeName(const std::string& name);

// The value as text: a string as it is, an integer in decimal, binary in
// lower-case hexadecimal, a multi-string one string a line. Ends in a newline.
std::string FormatValue(storage::Type type, const std::string& bytes);

// The bytes to store for the values given on the command line.
std::string EncodeValue(storage::Type type, const std::vector<std::string>& values);

// Hexadecimal digits, in pairs, blanks and a "0x" prefix allowed.
std::string DecodeHex(const std::string& text);

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_VALUEFORMAT_H
