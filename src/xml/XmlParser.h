// Parses XML text into an element tree (see XmlEncoding.h for how the
// text maps to names and values). Only elements and attributes make the
// tree; text, comments and processing instructions are skipped.
#ifndef SETTINGSTORE_XML_XMLPARSER_H
#define SETTINGSTORE_XML_XMLPARSER_H

#include <cstddef>
#include <memory>

#include "xml/XmlExceptions.h"
#include "xml/XmlNode.h"

class XmlParser {
 public:
  XmlParser();
  ~XmlParser();
  XmlParser(const XmlParser&) = delete;
  XmlParser& operator=(const XmlParser&) = delete;

  // Text is never kept in the tree, so whitespace between elements is always
  // dropped; the setting is accepted for callers that make it.
  void TrimWhitespaces(bool trim);

  // Parses the whole text of `length` bytes, replacing any earlier document.
  // Empty or malformed text throws CVelXmlParseException, leaving no document.
  void LoadFromString(const char* text, size_t length);

  // Hands the root over to the caller, who deletes it; null when there is no
  // document or it was already detached.
  XmlNode* DetachRoot();

 private:
  std::unique_ptr<XmlNode> root_;
};

#endif  // SETTINGSTORE_XML_XMLPARSER_H
