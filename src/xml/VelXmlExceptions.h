// Failures of the XML node library. Both derive from std::runtime_error so a
// caller that does not know them can still catch and report them.
#ifndef SETTINGSTORE_XML_VELXMLEXCEPTIONS_H
#define SETTINGSTORE_XML_VELXMLEXCEPTIONS_H

#include <stdexcept>

// The text is empty, not well-formed, or nested too deeply; what() tells
// where and why.
class CVelXmlParseException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A tree could not be written; what() names the file.
class CVelXmlSaverException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

#endif  // SETTINGSTORE_XML_VELXMLEXCEPTIONS_H
