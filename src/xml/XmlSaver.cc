#include "xml/XmlSaver.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/Platform.h"
#include "xml/Messages.h"
#include "xml/XmlEncoding.h"

namespace {

// Whitespace is not part of the tree, so deeper levels may share one indent;
// this keeps the output of a very deep tree linear in its size.
constexpr size_t kMaxIndentLevels = 64;

std::string_view WrittenTag(const XmlNode& node) {
  const char* name = node.Name();
  if (name && xmltext::IsPlainName(name)) return name;
  return xmltext::kNodeElement;
}

class DocumentWriter {
 public:
  DocumentWriter(bool formatted, const std::string& indent)
      : formatted_(formatted), indentWidth_(indent.size()) {
    for (size_t i = 0; i < kMaxIndentLevels; ++i) deepestIndent_ += indent;
  }

  // Walks the tree with an explicit stack: its depth is not bounded by ours.
  std::string Write(const XmlNode& root) {
    out_ = xmltext::kLatin1Declaration;
    EndLine();
    std::vector<Frame> open;
    if (WriteStartTag(root, 0)) open.push_back({&root, 0});
    while (!open.empty()) {
      Frame& top = open.back();
      const XmlNodes& children = *top.node->GetChildren();
      if (top.next_child < children.Size()) {
        const XmlNode* child = children.At(top.next_child++);
        if (WriteStartTag(*child, open.size())) open.push_back({child, 0});
      } else {
        Indent(open.size() - 1);
        out_ += "</";
        out_ += WrittenTag(*top.node);
        out_ += '>';
        EndLine();
        open.pop_back();
      }
    }
    // Known only now: whether every name and value was UTF-8 text. The
    // declaration is replaced in place, since a copy would double the peak.
    if (utf8_) out_.replace(0, xmltext::kLatin1Declaration.size(), xmltext::kUtf8Declaration);
    return std::move(out_);
  }

 private:
  struct Frame {
    const XmlNode* node;
    int next_child;
  };

  // Writes the start tag, or the whole element when it has no children;
  // true when its children and end tag are still to come.
  bool WriteStartTag(const XmlNode& node, size_t level) {
    Indent(level);
    std::string_view tag = WrittenTag(node);
    out_ += '<';
    out_ += tag;
    if (tag == xmltext::kNodeElement && node.Name()) {
      WriteAttribute(xmltext::kNameAttribute, node.Name());
    }
    std::unordered_set<std::string_view> seen;
    for (unsigned i = 0; i < node.GetAttributeCount(); ++i) {
      std::string_view name = node.GetAttributeNameAt(i);
      if (xmltext::IsPlainName(name) && seen.insert(name).second) {
        WriteAttribute(name, node.GetAttributeValueAt(i));
      } else {
        WriteAttribute(xmltext::EncodedAttributeName(i, name), node.GetAttributeValueAt(i));
      }
    }
    bool hasChildren = node.GetChildren()->Size() > 0;
    out_ += hasChildren ? ">" : "/>";
    EndLine();
    return hasChildren;
  }

  void WriteAttribute(std::string_view name, std::string_view value) {
    utf8_ = utf8_ && xmltext::IsUtf8Text(value);
    out_ += ' ';
    out_ += name;
    out_ += "=\"";
    xmltext::AppendEscaped(out_, value);
    out_ += '"';
  }

  void Indent(size_t level) {
    if (formatted_) out_.append(deepestIndent_, 0, indentWidth_ * std::min(level, kMaxIndentLevels));
  }

  void EndLine() {
    if (formatted_) out_ += '\n';
  }

  bool formatted_;
  size_t indentWidth_;
  std::string deepestIndent_;  // the indent of level kMaxIndentLevels
  std::string out_;
  bool utf8_ = true;  // every attribute value so far is UTF-8 text
};

}  // namespace

void XmlSaver::SetOutputMode(bool formatted, const char* indent) {
  std::string_view text = indent ? indent : "";
  if (text.find_first_not_of(" \t") != std::string_view::npos) {
    throw std::invalid_argument(storage::messages::xml::kBadIndent);
  }
  formatted_ = formatted;
  indent_ = text;
}

std::string XmlSaver::SaveToString(const XmlNode* root) const {
  if (!root) throw XmlSaverException(storage::messages::xml::kNoDocument);
  return DocumentWriter(formatted_, indent_).Write(*root);
}

void XmlSaver::Save(const XmlNode* root, const char* path) const {
  if (!path || !*path) throw XmlSaverException(storage::messages::xml::kNoFileName);
  std::string document = SaveToString(root);
  if (!storage::platform::ReplaceFileAtomically(path, document.data(), document.size())) {
    throw XmlSaverException(storage::messages::xml::CannotWrite(path));
  }
}
