// Writes an element tree as XML text that XmlParser reads back as the
// same tree (see XmlEncoding.h for how).
#ifndef SETTINGSTORE_XML_XMLSAVER_H
#define SETTINGSTORE_XML_XMLSAVER_H

#include <string>

#include "xml/XmlExceptions.h"
#include "xml/XmlNode.h"

class XmlSaver {
 public:
  // Formatted output puts each element on a line of its own, indented by
  // `indent` once per level; else the elements follow each other directly.
  // The indent may hold only blanks and tabs (null: none); anything else
  // throws std::invalid_argument.
  void SetOutputMode(bool formatted, const char* indent);

  // The whole document, declaration included. A null root throws
  // XmlSaverException.
  std::string SaveToString(const XmlNode* root) const;

  // Replaces the file at path with the document, atomically: a crash leaves
  // the old file or the new one. Throws XmlSaverException when it cannot.
  void Save(const XmlNode* root, const char* path) const;

 private:
  bool formatted_ = false;
  std::string indent_;
};

#endif  // SETTINGSTORE_XML_XMLSAVER_H
