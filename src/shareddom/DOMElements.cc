#include "shareddom/DOMElements.h"

#include <cstdio>
#include <memory>

#include "base/Exceptions.h"
#include "shareddom/MemAccessController.h"
#include "shareddom/NodeFactory.h"
#include "shareddom/StringFactory.h"
#include "shm/HiveSaveBatch.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = "SharedStorage\\DOMElements";

// The singletons, owned here; created and destroyed only by Initialize and
// Deinitialize, which the shared DOM's bring-up and teardown serialise.
std::unique_ptr<NodeFactory> nodeFactory;
std::unique_ptr<StringFactory> stringFactory;
std::unique_ptr<MemAccessController> accessController;

uint32_t RegisterString(const char* text) {
  const StringAutoRelease handle = StringFactory::GetSID(text);
  if (!handle.IsValid()) return WellKnownSids::kNoSid;
  // Never given back: the string lives as long as the storage.
  handle.AddRef();
  return static_cast<uint32_t>(handle.GetSID());
}

}  // namespace

WellKnownSids DOMElement::sids_;

void DOMElement::Initialize(const char* nodeNamePrefix, const char* nodeFilePrefix,
                            const char* stringNamePrefix, const char* stringFilePath,
                            const char* accessName) {
  STORAGE_ASSERT(nodeFactory == nullptr, kSourceFile, "storage::DOMElement::Initialize", nullptr);
  try {
    nodeFactory = std::make_unique<NodeFactory>(nodeNamePrefix, nodeFilePrefix);
    stringFactory = std::make_unique<StringFactory>(stringNamePrefix, stringFilePath);
    // Made last, so that the tree's own set-up above takes no access references.
    accessController = std::make_unique<MemAccessController>(accessName, &NodeFactory::onNodeReleased);
    registerWellKnownStrings();
  } catch (...) {
    Deinitialize();
    throw;
  }
}

bool DOMElement::Deinitialize() {
  bool saved = true;
  {
    // The node and string hive files refer to each other: the last process
    // replaces them as one set, so that a crash never leaves a mixture.
    HiveSaveBatch batch(&saved);
    accessController.reset();
    stringFactory.reset();
    nodeFactory.reset();
  }
  sids_ = WellKnownSids();
  return saved;
}

void DOMElement::noteChange() {
  if (nodeFactory != nullptr) nodeFactory->pageManager().MarkChanged();
  if (stringFactory != nullptr) stringFactory->pageManager().MarkChanged();
}

void DOMElement::registerWellKnownStrings() {
  char four[4];
  std::snprintf(four, sizeof(four), "%u", 4u);
  WellKnownSids sids;
  sids.section = RegisterString("section");
  sids.key = RegisterString("key");
  sids.name = RegisterString("name");
  sids.size = RegisterString("size");
  sids.type = RegisterString("type");
  sids.four = RegisterString(four);
  sids.integer = RegisterString("integer");
  sids.string = RegisterString("string");
  sids.binary = RegisterString("binary");
  sids.value = RegisterString("value");
  sids.multivalue = RegisterString("multivalue");
  sids.unknown = RegisterString("unknown");
  sids.zero = RegisterString("0");
  sids_ = sids;
}

}  // namespace storage
