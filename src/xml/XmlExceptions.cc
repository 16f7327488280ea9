#include "xml/XmlExceptions.h"

// Out of line, so that the vtable and type information live in the library
// alone and a host catches the one type the library throws.
CVelXmlParseException::~CVelXmlParseException() = default;
