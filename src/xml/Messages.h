// The texts this layer shows in exceptions, assertions and the log. Hosts
// and tests match them byte for byte: change none without need.
#ifndef SETTINGSTORE_XML_MESSAGES_H
#define SETTINGSTORE_XML_MESSAGES_H

#include <string>

namespace storage::messages::xml {

inline constexpr char kEmptyDocument[] = "XML parse error: the document is empty";
inline constexpr char kBadIndent[] = "XML indent may hold only blanks and tabs";
inline constexpr char kNoDocument[] = "No XML document to write";
inline constexpr char kNoFileName[] = "No file name to write the XML document to";


inline std::string ParseErrorAt(unsigned long long line, unsigned long long column, const char* reason) {
  return "XML parse error at line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + reason;
}
inline std::string CannotWrite(const char* path) {
  return std::string("Cannot write the XML document to '") + path + "'";
}

}  // namespace storage::messages::xml

#endif  // SETTINGSTORE_XML_MESSAGES_H
