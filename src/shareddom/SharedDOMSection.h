// A section of the shared DOM backend: a handle on one element of the shared
// tree. Every operation holds the lock of the section it works in (the
// element's node lock, recursive and shared by all processes), so that a
// find-or-create of one name in one section yields one child.
#ifndef SETTINGSTORE_SHAREDDOM_SHAREDDOMSECTION_H
#define SETTINGSTORE_SHAREDDOM_SHAREDDOMSECTION_H

#include <cstdint>
#include <utility>

#include "base/RefCounted.h"
#include "base/SectionWatch.h"
#include "shareddom/NodeRef.h"
#include "shareddom/StringFactory.h"
#include "shareddom/TranslateExceptions.h"

namespace storage {

// Where a key lives: its element and its parent section's element, and the
// key's name as stored, kept so that a deleted key can be made again under it.
struct KeyPlace {
  NodeRef key;
  NodeRef section;
  StringAutoRelease name;
};

class SharedDOMSection : public StorageSectionBase, public WatchableSection {
 public:
  // Starts with the one reference for the caller.
  explicit SharedDOMSection(NodeRef element) : element_(std::move(element)) {}

  IStorageKey* OpenKey(const char* name) override;
  IStorageKey* CreateKey(const char* name) override;
  IStorageSection* OpenSection(const char* path) override;
  IStorageSection* CreateSection(const char* path) override;
  bool DeleteSection(const char* path) override;
  bool DeleteKey(const char* name) override;
  INamesEnumerator* EnumKeys() override;
  INamesEnumerator* EnumSections() override;
  ISectionWatch* Watch(bool subtree) override;

  // The section-level operations on a section element, each under its lock.
  static NodeRef OpenSectionIn(NodeRef& section, const char* name);
  static NodeRef CreateSectionIn(NodeRef& section, const char* name);
  static bool DeleteSectionIn(NodeRef& section, const char* name);
  static KeyPlace OpenKeyIn(NodeRef& section, const char* name);
  static KeyPlace OpenOrCreateKey(NodeRef& section, const char* name);
  static bool DeleteKeyIn(NodeRef& section, const char* name);
  static INamesEnumerator* EnumChildren(NodeRef& section, uint32_t kindSid);

 private:
  ~SharedDOMSection() override = default;  // only Release destroys it

  using Step = NodeRef (*)(NodeRef&, const char*);
  // Walks the names of path one section at a time, from this section.
  NodeRef Walk(const char* path, Step step);

  NodeRef element_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_SHAREDDOMSECTION_H
