// Settings as JSON: one object per section; a key as a typed object,
// {"type": "integer", "value": 1280}, "string", "binary" (Base64) or
// "multi-string" (an array). Text that is not UTF-8 travels as Base64: a
// value as {"type": "string", "base64": "..."} holding its stored bytes, a
// name as "\u0000base64:" followed by the Base64 of its bytes.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_JSONFORMAT_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_JSONFORMAT_H

#include <string>
#include <vector>

#include "exchange/Exchange.h"

namespace cli::exchange {

std::string WriteJson(const Section& tree);

// The steps that make the document's tree below the import's target;
// InputError, with line and column, for the first thing wrong in it.
std::vector<Change> ReadJson(const std::string& text);

}  // namespace cli::exchange

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_JSONFORMAT_H
