// Registry editor files (.reg): what regedit and reg.exe export and import,
// in the UTF-16 "Windows Registry Editor Version 5.00" form and the 8-bit
// REGEDIT4 form.
//
// Our names and values are 8-bit bytes. In a 5.00 file each byte stands for
// its character in Windows code page 1252; the five bytes that code page
// leaves undefined (81, 8D, 8F, 90, 9D) stand for U+0081 and so on, as
// Windows' own conversion has them, so every byte survives the trip. A
// REGEDIT4 file holds the bytes as they are.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_REGFORMAT_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_REGFORMAT_H

#include <string>
#include <vector>

#include "exchange/Exchange.h"

namespace cli::exchange {

// The file's bytes for `tree`, whose own path in the file is `rootPath`
// (levels joined by '\', e.g. "HKEY_CURRENT_USER\Software\Example"). Version
// 5: UTF-16LE with its byte-order mark; 4: REGEDIT4. Lines end in CRLF, as
// regedit writes them. A string that is not one NUL-terminated text without
// line breaks is written as hex(1), so its bytes come back as they were. A
// CliError when the tree holds what the format cannot carry (a section name
// with '\' or a line break, an integer that is not four bytes).
std::string WriteReg(const Section& tree, const std::string& rootPath, int version);

// The changes a .reg file asks for below `rootPath`, whose first level may be
// spelled in full or short (HKEY_CURRENT_USER or HKCU); paths compare without
// regard to ASCII case. A 5.00 file is UTF-16LE with its byte-order mark, or
// plain ASCII without one. hex(0) and hex(3) read as binary, hex(1) and hex(2)
// as a string, hex(4) as an integer, hex(7) as a multi-string; other types are
// refused. Any fault is an InputError naming the line where its entry starts,
// and no change is returned.
std::vector<Change> ReadReg(const std::string& fileBytes, const std::string& rootPath);

}  // namespace cli::exchange

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_REGFORMAT_H
