#include "xml/XmlParser.h"

#include <expat.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "xml/Messages.h"
#include "xml/XmlEncoding.h"

namespace {

// XML_Parse takes an int length; longer texts are fed in pieces.
constexpr size_t kMaxPiece = size_t{1} << 30;
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Builds the tree from expat's callbacks. Exceptions must not unwind through
// expat's C frames, so a failure is kept, the parse stopped, and the failure
// raised again once XML_Parse has returned.
class TreeBuilder {
 public:
  explicit TreeBuilder(XML_Parser parser) : parser_(parser) {
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, &TreeBuilder::OnStart, &TreeBuilder::OnEnd);
  }

  std::unique_ptr<XmlNode> TakeRoot() { return std::move(root_); }
  void RethrowFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  static void XMLCALL OnStart(void* self, const XML_Char* name, const XML_Char** attributes) {
    static_cast<TreeBuilder*>(self)->Guarded([&](TreeBuilder& builder) { builder.Start(name, attributes); });
  }

  static void XMLCALL OnEnd(void* self, const XML_Char*) {
    static_cast<TreeBuilder*>(self)->Guarded([](TreeBuilder& builder) { builder.open_.pop_back(); });
  }

  template <typename Step>
  void Guarded(Step step) {
    if (failure_) return;  // expat may still report an event after a stop
    try {
      step(*this);
    } catch (...) {
      failure_ = std::current_exception();
      XML_StopParser(parser_, XML_FALSE);
    }
  }

  void Start(const XML_Char* name, const XML_Char** attributes) {
    std::unique_ptr<XmlNode> node(XmlNode::CreateNode());
    std::string tag = xmltext::BytesFromUtf8(name);
    bool reserved = tag == xmltext::kNodeElement;
    if (!reserved) node->SetName(tag.c_str());
    for (const XML_Char** pair = attributes; pair[0]; pair += 2) {
      std::string attribute = xmltext::BytesFromUtf8(pair[0]);
      std::string value = xmltext::BytesFromUtf8(pair[1]);
      if (reserved && attribute == xmltext::kNameAttribute) {
        node->SetName(value.c_str());
      } else if (std::optional<std::string> real = xmltext::DecodedAttributeName(attribute)) {
        node->AddAttribute(real->c_str(), value.c_str());
      } else {
        node->AddAttribute(attribute.c_str(), value.c_str());
      }
    }
    XmlNode* element = node.get();
    if (open_.empty()) {
      root_ = std::move(node);
    } else {
      open_.back()->GetChildren()->Add(node.release());
    }
    open_.push_back(element);
  }

  XML_Parser parser_;
  std::unique_ptr<XmlNode> root_;
  std::vector<XmlNode*> open_;  // the elements whose end tag is still to come
  std::exception_ptr failure_;
};

[[noreturn]] void ThrowSyntaxError(XML_Parser parser) {
  throw CVelXmlParseException(storage::messages::xml::ParseErrorAt(XML_GetCurrentLineNumber(parser),
                                                                   XML_GetCurrentColumnNumber(parser) + 1,
                                                                   XML_ErrorString(XML_GetErrorCode(parser))));
}

}  // namespace

XmlParser::XmlParser() = default;
XmlParser::~XmlParser() = default;

void XmlParser::TrimWhitespaces(bool) {}

void XmlParser::LoadFromString(const char* text, size_t length) {
  root_.reset();
  if (!text || length == 0) throw CVelXmlParseException(storage::messages::xml::kEmptyDocument);
  // Editors put a UTF-8 byte order mark before the declaration; the bytes
  // after it are taken one to one like all others.
  if (std::string_view(text, length).starts_with(kUtf8ByteOrderMark)) {
    text += kUtf8ByteOrderMark.size();
    length -= kUtf8ByteOrderMark.size();
  }

  // The encoding given here overrides the document's declaration, so that
  // every byte becomes one character U+0000..U+00FF.
  std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
      XML_ParserCreate(xmltext::kParserEncoding), &XML_ParserFree);
  if (!parser) throw std::bad_alloc();
  TreeBuilder builder(parser.get());
  do {
    size_t piece = length < kMaxPiece ? length : kMaxPiece;
    bool last = piece == length;
    if (XML_Parse(parser.get(), text, static_cast<int>(piece), last) != XML_STATUS_OK) {
      builder.RethrowFailure();
      ThrowSyntaxError(parser.get());
    }
    text += piece;
    length -= piece;
  } while (length > 0);
  root_ = builder.TakeRoot();
}

XmlNode* XmlParser::DetachRoot() { return root_.release(); }
