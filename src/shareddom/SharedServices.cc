#include "shareddom/SharedServices.h"

#include <cstdio>

#include "base/Exceptions.h"
#include "shareddom/Messages.h"
#include "shm/HiveSaveBatch.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shareddom::kSharedServicesFile;

uint32_t RegisterString(StringFactory& strings, const char* text) {
  const StringAutoRelease handle = strings.GetSID(text);
  if (!handle.IsValid()) return WellKnownSids::kNoSid;
  // Never given back: the string lives as long as the storage.
  handle.AddRef();
  return static_cast<uint32_t>(handle.GetSID());
}

}  // namespace

std::atomic<SharedServices*> SharedServices::current_{nullptr};

SharedServices& SharedServices::Start(const Names& names) {
  STORAGE_ASSERT(Current() == nullptr, kSourceFile, messages::shareddom::kSharedServicesStart, nullptr);
  // The constructor cleans up after itself when it throws.
  auto* services = new SharedServices(names);
  current_.store(services, std::memory_order_release);
  return *services;
}

bool SharedServices::Stop() {
  SharedServices* services = current_.exchange(nullptr);
  if (services == nullptr) return true;
  bool saved = true;
  {
    // The node and string hive files refer to each other: the last process
    // replaces them as one set, so that a crash never leaves a mixture.
    HiveSaveBatch batch(&saved);
    delete services;
  }
  return saved;
}

void SharedServices::NotUp() {
  throw AssertException(kSourceFile, messages::shareddom::kSharedServicesRequired, __LINE__,
                        messages::shareddom::kNotUp);
}

SharedServices::SharedServices(const Names& names) {
  try {
    nodes_ = std::make_unique<NodeFactory>(names.nodeNamePrefix, names.nodeFilePrefix);
    strings_ = std::make_unique<StringFactory>(names.stringNamePrefix, names.stringFilePath);
    // Made last, so that the tree's own set-up above takes no access references.
    access_ = std::make_unique<MemAccessController>(names.accessName, &SharedServices::OnNodeReleased, this);
    changes_ = std::make_shared<ChangeHub>(&access_->RootRecord().changes);
    RegisterWellKnownStrings();
  } catch (...) {
    bool saved = true;
    HiveSaveBatch batch(&saved);
    access_.reset();
    strings_.reset();
    nodes_.reset();
    throw;
  }
}

SharedServices::~SharedServices() {
  changes_->Close();
  access_.reset();
  strings_.reset();
  nodes_.reset();
}

void SharedServices::NoteChange() {
  nodes_->Pages().MarkChanged();
  strings_->Pages().MarkChanged();
}

void SharedServices::OnNodeReleased(const InitMemAddress& node, int kind, void* context) {
  auto* services = static_cast<SharedServices*>(context);
  const uint32_t valueSid = services->Nodes().Reclaim(node, kind);
  if (valueSid == InitMemAddress::kNull) return;
  // The value word held one reference on its string; the name is well known
  // and holds none.
  const StringAutoRelease value = services->Strings().GetString(static_cast<int32_t>(valueSid));
  if (value.IsValid()) value.GetHolder()->Release();
}

void SharedServices::RegisterWellKnownStrings() {
  StringFactory& strings = *strings_;
  char four[4];
  std::snprintf(four, sizeof(four), "%u", 4u);
  sids_.section = RegisterString(strings, "section");
  sids_.key = RegisterString(strings, "key");
  sids_.name = RegisterString(strings, "name");
  sids_.size = RegisterString(strings, "size");
  sids_.type = RegisterString(strings, "type");
  sids_.four = RegisterString(strings, four);
  sids_.integer = RegisterString(strings, "integer");
  sids_.string = RegisterString(strings, "string");
  sids_.binary = RegisterString(strings, "binary");
  sids_.value = RegisterString(strings, "value");
  sids_.multivalue = RegisterString(strings, "multivalue");
  sids_.unknown = RegisterString(strings, "unknown");
  sids_.zero = RegisterString(strings, "0");
}

}  // namespace storage
