// Helpers for the tests of XML sections and keys: a document parsed from
// text with a section over its root, and the exceptions an operation raises
// made readable.
#ifndef SETTINGSTORE_TESTS_XMLSTORAGE_XMLSECTIONTESTSUPPORT_H
#define SETTINGSTORE_TESTS_XMLSTORAGE_XMLSECTIONTESTSUPPORT_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "xml/XmlParser.h"
#include "xml/XmlSaver.h"
#include "xmlfile/XmlStorage.h"

namespace xmlsections {

// The exception class and code that `operation` raised ("IOException -7"),
// "nothing" when it returned.
template <class Operation>
std::string Raised(Operation&& operation) {
  try {
    operation();
  } catch (const storage::NotEmptyException& e) {
    return "NotEmptyException " + std::to_string(e.GetErrorCode());
  } catch (const storage::DeleteException& e) {
    return "DeleteException " + std::to_string(e.GetErrorCode());
  } catch (const storage::OpenException& e) {
    return "OpenException " + std::to_string(e.GetErrorCode());
  } catch (const storage::CreateException& e) {
    return "CreateException " + std::to_string(e.GetErrorCode());
  } catch (const storage::IOException& e) {
    return "IOException " + std::to_string(e.GetErrorCode());
  } catch (const storage::Exception& e) {
    return "Exception " + std::to_string(e.GetErrorCode());
  }
  return "nothing";
}

inline std::vector<std::string> Names(storage::INamesEnumerator* adopted) {
  storage::Ref<storage::INamesEnumerator> names(adopted);
  std::vector<std::string> result;
  while (names->Next()) result.emplace_back(names->Current());
  return result;
}

// A document parsed from text; root() is a section over its root element.
// Sections and keys made from it must be released before the fixture ends.
class XmlTreeTest : public ::testing::Test {
 protected:
  void Load(const std::string& text) {
    root_.reset();
    XmlParser parser;
    parser.trim_whitespaces(true);
    parser.LoadFromString(text.data(), text.size());
    tree_.reset(parser.DetachRoot());
    root_.reset(new storage::XmlStorage(tree_.get()));
  }

  storage::IStorageSection* root() const { return root_.get(); }

  // The document as one line of XML without its declaration.
  std::string Body() const {
    XmlSaver saver;
    saver.SetOutputMode(false, nullptr);
    const std::string text = saver.SaveToString(tree_.get());
    return text.substr(text.find("?>") + 2);
  }

  // The element that a section object stands for.
  static XmlNode* ElementOf(storage::IStorageSection* section) {
    return static_cast<storage::XmlStorage*>(section)->element();
  }

  std::unique_ptr<XmlNode> tree_;
  storage::Ref<storage::IStorageSection> root_;
};

}  // namespace xmlsections

#endif  // SETTINGSTORE_TESTS_XMLSTORAGE_XMLSECTIONTESTSUPPORT_H
