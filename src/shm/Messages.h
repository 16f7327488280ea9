// The texts this layer shows in exceptions, assertions and the log. Hosts
// and tests match them byte for byte: change none without need.
#ifndef SETTINGSTORE_SHM_MESSAGES_H
#define SETTINGSTORE_SHM_MESSAGES_H

#include <cstdint>
#include <string>

namespace storage::messages::shm {

inline constexpr char kPageMemoryManagerNull[] = "PageMemoryManager is null!";
inline constexpr char kSharedMemoryFile[] = "Utils\\Shared\\SharedMemory";
inline constexpr char kSharedMemoryOpen[] = "storage::TSharedMemoryWinBase::Open";
inline constexpr char kSharedFileOpen[] = "storage::TSharedFileWinBase::Open";
inline constexpr char kSegmentOpenAlready[] = "The segment is open already";
inline constexpr char kNameAndPathRequired[] = "A name and a file path are required";
inline constexpr char kPageMemoryManagerFile[] = "Utils\\Shared\\PageMemoryManager";
inline constexpr char kReleasedBlockNotFound[] = "Released block not found is this hive";
inline constexpr char kDestroyedWhileAttached[] = "PageMemoryManager destroyed while attached";
inline constexpr char kPageMemoryManagerDestructor[] = "storage::PageMemoryManager::~PageMemoryManager";
inline constexpr char kPageMemoryManagerAttach[] = "storage::PageMemoryManager::Attach";
inline constexpr char kMaximumHiveSize[] = "Maximum hive size is %d bytes!";
inline constexpr char kPageMemoryManagerDetach[] = "storage::PageMemoryManager::Dettach";
inline constexpr char kPageMemoryManagerInitialize[] = "storage::PageMemoryManager::initialize";
inline constexpr char kUnavailableVersion[] = "Unavailable version!";
inline constexpr char kBlockTableDamaged[] = "the hive's block table is damaged";
inline constexpr char kPageMemoryManagerCanCarve[] = "storage::PageMemoryManager::CanCarve";
inline constexpr char kPageMemoryManagerAllocateUnmapped[] = "storage::PageMemoryManager::allocateAtUnmappedPart";
inline constexpr char kAllocationNotAtomic[] = "The CAS 'locker' guarantees: allocating of memory is atomic";
inline constexpr char kPageMemoryManagerAllocateMapped[] = "storage::PageMemoryManager::allocateAtMappedPart";
inline constexpr char kFreeBlockOutsideHive[] = "a free block lies outside its hive";
inline constexpr char kPageMemoryManagerRelease[] = "storage::PageMemoryManager::Release";
inline constexpr char kPageMemoryManagerGetPoint[] = "storage::PageMemoryManager::GetPoint";
inline constexpr char kPageMemoryManagerEnumerate[] = "storage::PageMemoryManager::Enumerate";
inline constexpr char kPageMemoryManagerEnumerateFrom[] = "storage::PageMemoryManager::EnumerateFrom";
inline constexpr char kBlockOutsideHive[] = "a block lies outside its hive";
inline constexpr char kPageManagerFile[] = "Utils\\Shared\\PageManager";
inline constexpr char kPageManagerMemoryBlock[] = "storage::PageManager::MemoryInitializeEnumerator::MemoryBlock";
inline constexpr char kUnexpectedHiveSignature[] = "Unexpected hive signature";
inline constexpr char kPageManagerInitialize[] = "storage::PageManager::Initialize";
inline constexpr char kAlreadyInitialized[] = "Already initialized";
inline constexpr char kMaximumFilenameSize[] = "Maximum filename size is %d";
inline constexpr char kMaximumSegmentNameSize[] = "Maximum segment name size is %d";
inline constexpr char kNoMemoryForNextHive[] = "Not enough memory to load next hive";
inline constexpr char kNewHiveRequested[] = "New hive requested(%d) - %s";
inline constexpr char kSharedMemoryNotCreated[] = "Unable to create shared memory object. GetLastError: %u";
inline constexpr char kPageManagerGetNextHive[] = "storage::PageManager::getNextHive";
inline constexpr char kNextHiveNotFound[] = "Next hive not found";
inline constexpr char kPageManagerValidate[] = "storage::PageManager::validate";
inline constexpr char kValidateHives[] = "Validate hives";
inline constexpr char kPageManagerInitializeHive[] = "storage::PageManager::initialize";
inline constexpr char kSizeTooSmall[] = "Not enoght memory? Are you sure? We can't work with that size";
inline constexpr char kRequestedSizeTooBig[] = "The requested size is too big";
inline constexpr char kPageManagerAllocate[] = "storage::PageManager::Allocate";
inline constexpr char kHiveTooBig[] = "THe hive is too big for the manager";
inline constexpr char kPageManagerGetPoint[] = "storage::PageManager::GetPoint";
inline constexpr char kPageManagerRelease[] = "storage::PageManager::Release";
inline constexpr char kUnloadHives[] = "Unload hives";
inline constexpr char kUnloadHivesUnchanged[] = "Unload hives: unchanged, the files stay as they are";
inline constexpr char kUnloadHivesMutexNotTaken[] = "Unload hives: the mutex of hive %u cannot be taken first";
inline constexpr char kVectorOutOfBounds[] = "NonBlockVector: out of bounds";
inline constexpr char kVectorBroken[] = "NonBlockVector: something went wrong";
inline constexpr char kMemoryManagerNull[] = "MemoryManager is null!";
inline constexpr char kMemoryManagerNotApplied[] = "Memory manager is not applied";
inline constexpr char kOwnerLockFile[] = "Utils\\OwnerUtil";
inline constexpr char kRegisterCurrent[] = "storage::owner::GlobalRegistrator::registe_current";
inline constexpr char kIsRegistered[] = "storage::owner::GlobalRegistrator::is_registered";
inline constexpr char kWaitFailed[] = "WAIT_FAILED! GetLastError: %d";
inline constexpr char kOwnerMutexNotCaptured[] = "We cannot capture the owner mutex";
inline constexpr char kNoThreadLocalSlot[] = "no thread-local slot is left for the owner lock";
inline constexpr char kThreadLocalGetValue[] = "storage::owner::TLSSignleton::GetValue";
inline constexpr char kThreadLocalSetValue[] = "storage::owner::TLSSignleton::SetValue";
inline constexpr char kGlobalMutexLockFailed[] = "GlobalMutex::Lock failed with result 0x%x. GetLastError: %d";
inline constexpr char kGlobalMutexLock[] = "storage::owner::GlobalMutex::Lock";
inline constexpr char kGlobalMutexUnlockFailed[] = "GlobalMutex::Unlock failed. GetLastError: %d";
inline constexpr char kGlobalMutexUnlock[] = "storage::owner::GlobalMutex::Unlock";
inline constexpr char kOpenMutexFailed[] = "Open Mutex return NULL. GetLastError: %d";
inline constexpr char kSharedFileWritten[] = "Shared file written (%s)";
inline constexpr char kSharedFileNotWritten[] = "Unable to write to shared file - %s";
inline constexpr char kHiveFilesNotCommitted[] = "Unable to commit the hive files";
inline constexpr char kSaveListForeign[] = "Ignoring the save list %s: it is not a file of this user's";
inline constexpr char kSaveListStrayNames[] =
    "Ignoring the save list %s: it names files other than hive files beside it";
inline constexpr char kCompletingSave[] = "Completing the save of %s";
inline constexpr char kSaveNotCompleted[] = "Unable to complete the save of %s";
inline constexpr char kOpenSharedFile[] = "Open shared file %s";
inline constexpr char kSharedFileMissing[] = "Shared file does not exist (%s)";
inline constexpr char kReadSharedFile[] = "Read shared file %s";
inline constexpr char kSharedFileInitialized[] = "Shared file initialized (%s)";
inline constexpr char kUpdateHash[] = "Update hash for shared file %s";
inline constexpr char kSharedFileNotOpenedForWrite[] = "Unable to open shared file for write - %s";
inline constexpr char kOpenSharedFileForWrite[] = "Open shared file for write %s";
inline constexpr char kWriteSharedFile[] = "Write shared file %s";
inline constexpr char kInitMemAddressFile[] = "Utils\\Shared\\InitMemAddress";
inline constexpr char kInitMemAddressConstructor[] = "storage::InitMemAddress::InitMemAddress";

// A live session whose memory-only records another library version laid out.
inline std::string OtherMemoryLayout(const std::string& region, uint32_t found, uint32_t expected) {
  return "The live storage session " + region + " keeps its shared records in memory layout " +
         std::to_string(found) + ", this library in layout " + std::to_string(expected) +
         ": close every process of the other library version first";
}

}  // namespace storage::messages::shm

#endif  // SETTINGSTORE_SHM_MESSAGES_H
