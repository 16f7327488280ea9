// The texts this layer shows in exceptions, assertions and the log. Hosts
// and tests match them byte for byte: change none without need.
#ifndef SETTINGSTORE_SHAREDDOM_MESSAGES_H
#define SETTINGSTORE_SHAREDDOM_MESSAGES_H

namespace storage::messages::shareddom {

inline constexpr char kSharedServicesFile[] = "SharedStorage\\SharedServices";
inline constexpr char kSharedServicesStart[] = "storage::SharedServices::Start";
inline constexpr char kSharedServicesRequired[] = "storage::SharedServices::Required";
inline constexpr char kNotUp[] = "The shared DOM is not up in this process";
inline constexpr char kStringFactoryFile[] = "SharedStorage\\StringFactory";
inline constexpr char kAutoReleaseAddRef[] = "storage::StringFactory::StringAutoRelease::AddRef";
inline constexpr char kAutoReleaseFailedWith[] = "StringAutoRelease: releasing a string failed: %s";
inline constexpr char kAutoReleaseFailed[] = "StringAutoRelease: releasing a string failed";
inline constexpr char kAutoReleaseGetString[] = "storage::StringFactory::StringAutoRelease::GetString";
inline constexpr char kStringFactoryConstructor[] = "storage::StringFactory::StringFactory";
inline constexpr char kStringFactoryArguments[] = "Invalid arguments for the StringFactory";
inline constexpr char kStringFactoryGetSid[] = "storage::StringFactory::GetSID";
inline constexpr char kStringFactoryPeekSid[] = "storage::StringFactory::PeekSID";
inline constexpr char kStringFactoryGetExactSid[] = "storage::StringFactory::GetExactSID";
inline constexpr char kStringFactoryPeekExactSid[] = "storage::StringFactory::PeekExactSID";
inline constexpr char kSidByFullScan[] = "StringFactory: SID %d was found only by a full scan";
inline constexpr char kSidInUse[] = "the SID counter gave a SID in use";
inline constexpr char kDomElementsFile[] = "SharedStorage\\DOMElements";
inline constexpr char kNotInitialised[] = "the shared DOM is not initialised";
inline constexpr char kRemovedNodeLinked[] = "a removed node stays linked";
inline constexpr char kListDamaged[] = "a list of the tree is damaged";
inline constexpr char kGetAttribute[] = "storage::DOMElement::getAttribute";
inline constexpr char kFirstAttributeMissing[] = "The first attribute should be always exist.";
inline constexpr char kSwapAttributes[] = "storage::DOMElement::swapAttributes";
inline constexpr char kSetAttributesFailed[] = "Exception detected at the DOMElement::setAttributes";
inline constexpr char kSetAttributes[] = "storage::DOMElement::setAttributes";
inline constexpr char kRetireChainFailed[] = "DOMElement: retiring an attribute chain failed: %s";
inline constexpr char kFindElement[] = "storage::DOMElement::findElement";
inline constexpr char kCreateElement[] = "storage::DOMElement::createElement";
inline constexpr char kTryDeleteElement[] = "storage::DOMElement::tryDeleteElement";
inline constexpr char kChildNames[] = "storage::DOMElement::childNames";
inline constexpr char kDeleteElement[] = "storage::DOMElement::deleteElement";
inline constexpr char kMemoryManagerNull[] = "MemoryManager is null!";
inline constexpr char kMarkToDeleteHandled[] = "MarkToDeleteException handled";
inline constexpr char kInternalStructureHandled[] = "InternalStructureException handled: %s";
inline constexpr char kBadAllocHandled[] = "BadAllocException handled: %s";
inline constexpr char kNodeRefFile[] = "SharedStorage\\NodeRef";
inline constexpr char kNoAccessController[] = "MemAccessController does not exist";
inline constexpr char kNodeRefConstructor[] = "storage::NodeRef::NodeRef";
inline constexpr char kNodeLinkDamaged[] = "a link to a node is damaged";
inline constexpr char kReleaseNodeFailedWith[] = "NodeRef: releasing node 0x%08X failed: %s";
inline constexpr char kReleaseNodeFailed[] = "NodeRef: releasing node 0x%08X failed";
inline constexpr char kNodeRefElement[] = "storage::NodeRef::element";
inline constexpr char kNodeRefAttribute[] = "storage::NodeRef::attribute";
inline constexpr char kInitializeFile[] = "SharedStorage\\initialize";
inline constexpr char kInitializeSharedDom[] = "storage::initializeSharedDOM";
inline constexpr char kInitCheckStorageHandled[] = "Initialization failed - CheckStorageException handled";
inline constexpr char kInitChecksumHandled[] = "Initialization failed - ChecksumException handled";
inline constexpr char kInitFailureHandled[] = "Initialization failed - %s handled: %s";
inline constexpr char kChangesLost[] = "The shared storage's files could not be saved; its changes are lost";
inline constexpr char kSidsExhausted[] = "StringFactory:: not enoght free SID";
inline constexpr char kSharedSettingsFile[] = "sharedstorage\\SharedSettings";
inline constexpr char kSharedSettingsConstructor[] = "storage::SharedSettings::SharedSettings";
inline constexpr char kStringHolderFactoryFile[] = "SharedStorage\\StringHolderFactory";
inline constexpr char kStringHolderFactoryGetHash[] = "storage::StringHolderFactory::GetHash";
inline constexpr char kMemAccessControllerFile[] = "SharedStorage\\MemAccessController";
inline constexpr char kGetTraits[] = "storage::MemAccessController::getTraits";
inline constexpr char kTraitsOfNull[] = "Access traits of the null address";
inline constexpr char kCreateNewTraits[] = "storage::MemAccessController::createNewTraits";
inline constexpr char kTraitsEqualLast[] = "Allocated access traits equal to the last access tratis";
inline constexpr char kTraitsInUse[] = "Object returned by 'Allocate' method already used";
inline constexpr char kStringHolderBaseFile[] = "SharedStorage\\StringHolderBase";
inline constexpr char kStringHolderFree[] = "storage::StringHolderBase::Free";
inline constexpr char kStringChainDamaged[] = "a string's chain is damaged";
inline constexpr char kStoreString[] = "storage::StringHolderBase::StoreString";
inline constexpr char kPreviousBlockUnchanged[] = "ASSERT! StringFactory::createString previous block is not changed!";
inline constexpr char kStringHolderText[] = "storage::StringHolderBase::Text";
inline constexpr char kStringHolderSetHead[] = "storage::StringHolderBase::setHead";
inline constexpr char kExternalFileUnreadable[] = "Unable to read external string file ";
inline constexpr char kNoRandomFile[] = "Unable to create random file!";
inline constexpr char kNodeFactoryFile[] = "SharedStorage\\NodeFactory";
inline constexpr char kOnMemManagerInitialized[] = "storage::NodeFactory::onMemManagerInitialized";
inline constexpr char kRootElementUnchanged[] = "ASSERT! NodeFactory::initialize Root element is not changed!";
inline constexpr char kNodeFactoryGetRoot[] = "storage::NodeFactory::getRoot";
inline constexpr char kNoRootHolder[] = "No root holder";

}  // namespace storage::messages::shareddom

#endif  // SETTINGSTORE_SHAREDDOM_MESSAGES_H
