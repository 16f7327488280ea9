#include "shareddom/SharedInitialize.h"

#include <memory>
#include <string>

#include "base/Exceptions.h"
#include "base/Logger.h"
#include "base/PathUtils.h"
#include "platform/Platform.h"
#include "shareddom/Messages.h"
#include "shareddom/SharedDOMSection.h"
#include "shareddom/SharedServices.h"
#include "shareddom/SharedSettings.h"
#include "storage/ref.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shareddom::kInitializeFile;

// The process's shared DOM: its names, and the mutex that exists while the
// storage is up here. Changed only by the host's one thread that brings the
// storage up and down.
std::unique_ptr<SharedSettings> settings;
std::unique_ptr<platform::NamedMutex> blockMutex;

void RunCheck(StorageCheckFunction check) {
  Ref<SharedDOMSection> root(new SharedDOMSection(SharedServices::Required().Nodes().Root()));
  if (!check(root.get(), STORAGE_SHARED_DOM)) throw CheckStorageException();
}

}  // namespace

bool InitializeSharedDOM(IStorageInitializer* init) {
  STORAGE_ASSERT(settings != nullptr, kSourceFile, messages::shareddom::kInitializeSharedDom, nullptr);
  try {
    const std::string nodeFiles = utils::Join(settings->path, settings->storageFileName);
    const std::string stringFile = utils::Join(settings->path, settings->mapFileName);
    SharedServices::Start({settings->storageName.c_str(), nodeFiles.c_str(), settings->mapName.c_str(),
                           stringFile.c_str(), settings->syncName.c_str()});
    if (StorageCheckFunction check = init->GetCheckFunction()) {
      try {
        RunCheck(check);
      } catch (...) {
        SharedServices::Stop();
        throw;
      }
    }
    return true;
  } catch (const CheckStorageException&) {
    logger::Error(messages::shareddom::kInitCheckStorageHandled);
  } catch (const ChecksumException&) {
    logger::Error(messages::shareddom::kInitChecksumHandled);
  } catch (...) {
    const Failure failure = CurrentFailure();
    if (failure.root == Failure::Root::kUnknown) throw;
    logger::Error(messages::shareddom::kInitFailureHandled, failure.RootClassName(), failure.message.c_str());
  }
  return false;
}

void LoadSharedStorage(IStorageInitializer* init) {
  // Checked before the settings change, so that a refused second storage
  // leaves the names of the one that is up untouched.
  if (blockMutex != nullptr) throw StorageAccessDeniedException();
  settings = std::make_unique<SharedSettings>(init->GetPath());
  blockMutex = platform::NamedMutex::Create(settings->blockName.c_str(), false);
  if (blockMutex == nullptr) throw StorageAccessDeniedException();

  try {
    for (;;) {
      init->OnLoadBegin();
      if (!utils::IsDirectory(settings->path)) utils::CreateDirectoryChain(settings->path, false);
      if (InitializeSharedDOM(init)) {
        init->OnLoadSucceeded();
        return;
      }
      init->OnLoadFailed();
      if (!init->RetryLoad()) throw LoadStorageFailedException();
    }
  } catch (...) {
    // A storage that did not come up holds nothing, so the host may try again.
    UnloadSharedStorage();
    throw;
  }
}

bool UnloadSharedStorage() {
  const bool saved = SharedServices::Stop();
  blockMutex.reset();
  settings.reset();
  if (!saved) logger::Error(messages::shareddom::kChangesLost);
  return saved;
}

}  // namespace storage
