#include "api/NoThrowWrappers.h"
#include "base/Logger.h"

namespace storage {

NoThrowStorageFactory::NoThrowStorageFactory(StorageType type, IStorageController* controller,
                                             ITraits* traits)
    : type_(type), controller_(controller), traits_(traits), errors_(std::make_shared<NoThrowErrorRecord>()) {}

NoThrowStorageFactory::~NoThrowStorageFactory() {
  if (controller_) controller_->Release();
  if (traits_) traits_->Destroy();
}

IStorageSection* NoThrowStorageFactory::GetRoot() { return controller_ ? controller_->GetRoot() : nullptr; }

ITraits* NoThrowStorageFactory::GetTraits() { return traits_; }

void NoThrowStorageFactory::LoadSuccessful() {
  if (controller_) controller_->LoadSuccessful();
}

void NoThrowStorageFactory::Save() {
  if (!controller_) return;
  errors_->Guard(false, [&] {
    controller_->Save();
    return true;
  });
}

void NoThrowStorageFactory::Dispose() {
  Save();
  delete this;
}

IStorageSection* NoThrowStorageFactory::GetNoThrowRoot() {
  return errors_->Guard<IStorageSection*>(nullptr, [&]() -> IStorageSection* {
    IStorageSection* root = GetRoot();
    return root ? MakeNoThrowSection(root, errors_) : nullptr;
  });
}

const char* NoThrowStorageFactory::GetLastMessageDescriptor() { return errors_->Message(); }
void NoThrowStorageFactory::SetLastMessageDescriptor(const char* message) { errors_->SetMessage(message); }
int32_t NoThrowStorageFactory::GetLastErrorCode() { return errors_->Code(); }
void NoThrowStorageFactory::SetLastErrorCode(int32_t code) { errors_->SetCode(code); }

}  // namespace storage
