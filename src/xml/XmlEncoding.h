// How the writer puts an arbitrary tree into XML and how the parser maps it
// back, so that every NUL-free byte string in a name or value survives.
//
// - The document is always parsed as ISO-8859-1: each byte is one character
//   U+0000..U+00FF, whatever the bytes mean to the caller. It is declared
//   UTF-8 when all of its text is (as on Linux it almost always is), so that
//   other XML readers see the characters the user wrote; ISO-8859-1 otherwise.
// - Bytes 0x01-0x1F other than tab, LF and CR are not allowed in XML 1.0, not
//   even as references; they are written as references to the private-use
//   characters U+E001..U+E01F, which no byte can produce otherwise.
// - An element whose name is missing or is not a plain name is written as
//   kNodeElement, with the real name (if any) in the attribute kNameAttribute.
// - An attribute whose name is not a plain name, or repeats an earlier name of
//   the same element, is written as kAttributePrefix + index + "-" + the name
//   in hex. Plain names never start with kReservedPrefix, so a real attribute
//   or element cannot be mistaken for one of these.
#ifndef SETTINGSTORE_XML_XMLENCODING_H
#define SETTINGSTORE_XML_XMLENCODING_H

#include <optional>
#include <string>
#include <string_view>

namespace xmltext {

inline constexpr std::string_view kUtf8Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
inline constexpr std::string_view kLatin1Declaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";
inline constexpr const char* kParserEncoding = "ISO-8859-1";
inline constexpr std::string_view kReservedPrefix = "vel.";
inline constexpr std::string_view kNodeElement = "vel.node";
inline constexpr std::string_view kNameAttribute = "vel.name";
inline constexpr std::string_view kAttributePrefix = "vel.attr";

// An ASCII name ([A-Za-z_][A-Za-z0-9_.-]*) outside the reserved prefix, which
// any XML parser takes as it is.
bool IsPlainName(std::string_view name);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF) holding no U+FFFE or U+FFFF, which XML forbids:
// text that any UTF-8 reader takes as it is.
bool IsUtf8Text(std::string_view bytes);

// Appends bytes as the content of a double-quoted attribute value.
void AppendEscaped(std::string& out, std::string_view bytes);

std::string EncodedAttributeName(unsigned index, std::string_view name);
// The real name behind an encoded attribute name; nullopt for any other name.
std::optional<std::string> DecodedAttributeName(std::string_view written);

// The parser's UTF-8 output back to the bytes that the writer escaped.
// Characters above U+00FF that are no escaped control byte (possible only in
// hand-written files) keep their UTF-8 form.
std::string BytesFromUtf8(std::string_view utf8);

}  // namespace xmltext

#endif  // SETTINGSTORE_XML_XMLENCODING_H
