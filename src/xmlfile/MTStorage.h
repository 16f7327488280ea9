// The thread-safe face of the XML backend: wrappers that serialise every
// section and key call on one document under that document's recursive
// mutex. All wrappers of a document share the lock, so two threads holding
// different wrappers of one section, or of a parent and its child, never
// change the tree at once. Each wrapper also keeps the document alive. A key
// is one object, the XML key itself with the lock around it; a section hands
// out the same key object again while it remembers it, so that reading a
// key again allocates nothing.
#ifndef SETTINGSTORE_XMLFILE_MTSTORAGE_H
#define SETTINGSTORE_XMLFILE_MTSTORAGE_H

#include <array>
#include <memory>
#include <string>

#include "base/RefCounted.h"
#include "base/SectionWatch.h"
#include "storage/storage.h"
#include "xmlfile/XmlStorage.h"
#include "xmlfile/XmlStorageController.h"
#include "xmlfile/XmlStorageKey.h"

namespace storage {

class MTStorageKey;

class MTStorage : public StorageSectionBase, public WatchableSection {
 public:
  // Takes over the caller's reference to inner.
  MTStorage(XmlStorage* inner, std::shared_ptr<XmlDocument> document);

  IStorageKey* OpenKey(const char* name) override;
  IStorageKey* CreateKey(const char* name) override;
  IStorageSection* OpenSection(const char* path) override;
  IStorageSection* CreateSection(const char* path) override;
  bool DeleteSection(const char* path) override;
  bool DeleteKey(const char* name) override;
  // The inner enumerator itself: a snapshot that needs no lock.
  INamesEnumerator* EnumKeys() override;
  INamesEnumerator* EnumSections() override;
  ISectionWatch* Watch(bool subtree) override;

 private:
  ~MTStorage() override = default;  // only Release destroys it

  IStorageSection* Wrap(IStorageSection* section) const;
  // A new reference to the key object of the element, made unless a recent
  // one stands for it. Called with the document's lock held.
  IStorageKey* KeyFor(XmlNode* element);

  // The document goes last: the inner object stands on its tree.
  std::shared_ptr<XmlDocument> document_;
  Ref<XmlStorage> inner_;
  // Keys handed out lately with their elements, replaced in turn; a key has
  // no state of its own, so callers may share one. Each pins its element.
  static constexpr size_t kRecentKeys = 16;
  std::array<XmlNode*, kRecentKeys> recentElements_{};
  std::array<Ref<MTStorageKey>, kRecentKeys> recentKeys_;
  size_t nextRecent_ = 0;
};

// Holds the document for the key below; a base, so that it goes after the
// key's pin of its element.
struct DocumentHolder {
  std::shared_ptr<XmlDocument> document;
};

class MTStorageKey : private DocumentHolder, public XmlStorageKey {
 public:
  // Starts with the one reference of its creator.
  MTStorageKey(XmlNode* element, std::shared_ptr<XmlDocument> document);

  bool Read(void* buffer, unsigned size) override;
  bool Write(Type type, const void* data, unsigned size) override;
  Type GetType() override;
  unsigned GetSize() override;

 private:
  ~MTStorageKey() override = default;  // only Release destroys it
};

// A controller whose root and everything reached from it come wrapped.
// Controller must offer GetRoot() and document().
template <class Controller>
class MTStorageController : public IStorageController, public RefCounted {
 public:
  class Traits : public ITraits {
   public:
    // Takes ownership of inner.
    explicit Traits(ITraits* inner) : inner_(inner) {
      const char* innerName = inner_->GetName();
      name_ = std::string(innerName ? innerName : "") + "(Threadsafe)";
    }
    const char* GetName() override { return name_.c_str(); }
    bool IsThreadSafe() override { return true; }
    bool IsInterprocess() override { return false; }
    void Destroy() override {
      inner_->Destroy();
      delete this;
    }
    StorageType GetType() override { return inner_->GetType(); }

   private:
    ~Traits() override = default;  // only Destroy destroys it

    ITraits* inner_;
    std::string name_;
  };

  // Builds, and so loads, the inner controller.
  explicit MTStorageController(IStorageInitializer* init)
      : inner_(new Controller(init)),
        // The XML controller's root is always an XmlStorage.
        root_(new MTStorage(static_cast<XmlStorage*>(inner_->GetRoot()), inner_->Document())) {}

  IStorageSection* GetRoot() override {
    root_->AddRef();
    return root_.get();
  }
  void LoadSuccessful() override { inner_->LoadSuccessful(); }
  // The inner save holds the document's lock while it reads the tree.
  void Save() override { inner_->Save(); }

 private:
  ~MTStorageController() override = default;  // only Release destroys it

  // Declared in this order so that the root wrapper goes first.
  Ref<Controller> inner_;
  Ref<MTStorage> root_;
};

}  // namespace storage

#endif  // SETTINGSTORE_XMLFILE_MTSTORAGE_H
