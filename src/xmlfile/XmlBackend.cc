// The XML backend's entry points: the storage of InitializeStorage(1, ...)
// and the direct parse of a text or a file.
#include <utility>

#include "base/Backends.h"
#include "base/PathUtils.h"
#include "xmlfile/MTStorage.h"
#include "xmlfile/XmlStorage.h"
#include "xmlfile/XmlStorageController.h"

namespace storage {

Backend MakeXmlBackend(IStorageInitializer* init) {
  RequireStorageDirectory(init->GetPath() ? init->GetPath() : "");
  using Controller = MTStorageController<XmlStorageController>;
  Ref<Controller> controller(new Controller(init));
  ITraits* traits = new Controller::Traits(new XmlStorageController::Traits());
  return Backend{controller.release(), traits};
}

// The section owns its document through its wrapper, so it and every section
// and key reached from it stay valid for as long as any of them is held.
IStorageSection* GetXmlStorage(const char* text, unsigned length) {
  std::shared_ptr<XmlDocument> document = ParseXmlDocument(text, length);
  Ref<XmlStorage> root(new XmlStorage(document->root.get()));
  auto* wrapper = new MTStorage(root.get(), std::move(document));
  (void)root.release();
  return wrapper;
}

IStorageSection* GetXmlStorage(const char* path) {
  if (path == nullptr) return nullptr;
  std::string text = utils::ReadWholeFile(path);
  if (text.empty()) return nullptr;
  return GetXmlStorage(text.data(), static_cast<unsigned>(text.size()));
}

}  // namespace storage
