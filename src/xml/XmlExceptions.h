// Failures of the XML node library. Both derive from std::runtime_error so a
// caller that does not know them can still catch and report them. The parse
// failure reaches hosts through storage::GetXmlStorage, so the public header
// declares it.
#ifndef SETTINGSTORE_XML_XMLEXCEPTIONS_H
#define SETTINGSTORE_XML_XMLEXCEPTIONS_H

#include <stdexcept>

#include "storage/storage.h"

// A tree could not be written; what() names the file.
class XmlSaverException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

#endif  // SETTINGSTORE_XML_XMLEXCEPTIONS_H
