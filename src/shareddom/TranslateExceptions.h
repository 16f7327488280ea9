// How the shared DOM's inner failures reach the host: a marked node becomes
// code -1 of the operation's kind, a long text whose file cannot be written
// -3 of the operation's kind, a damaged structure -13, exhausted shared
// memory or SIDs -14. Everything else passes unchanged. An object kept from a
// storage that has been torn down fails as if deleted, before it reads any
// memory.
#ifndef SETTINGSTORE_SHAREDDOM_TRANSLATEEXCEPTIONS_H
#define SETTINGSTORE_SHAREDDOM_TRANSLATEEXCEPTIONS_H

#include "base/Exceptions.h"
#include "base/Logger.h"
#include "shareddom/ExternalStringHolder.h"
#include "shareddom/Messages.h"
#include "shareddom/NodeRef.h"
#include "shareddom/StringFactory.h"

namespace storage {

// Which exception a marked node becomes.
enum class Operation { kOpen, kCreate, kDelete, kIO };

[[noreturn]] inline void ThrowFor(Operation operation, int32_t code) {
  switch (operation) {
    case Operation::kOpen:
      throw OpenException(code);
    case Operation::kCreate:
      throw CreateException(code);
    case Operation::kDelete:
      throw DeleteException(code);
    case Operation::kIO:
      break;
  }
  throw IOException(code);
}

[[noreturn]] inline void ThrowDeleted(Operation operation) { ThrowFor(operation, kErrorDeleted); }

template <class Body>
auto TranslateExceptions(Operation operation, const NodeRef& anchor, Body&& body) -> decltype(body()) {
  if (!anchor.IsCurrent()) ThrowDeleted(operation);
  try {
    return body();
  } catch (const MarkToDeleteException&) {
    logger::Debug(messages::shareddom::kMarkToDeleteHandled);
    ThrowDeleted(operation);
  } catch (const InternalStructureException& error) {
    logger::Error(messages::shareddom::kInternalStructureHandled, error.what());
    throw IOException(kErrorDamagedStructure);
  } catch (const BadAllocException& error) {
    logger::Error(messages::shareddom::kBadAllocHandled, error.what());
    throw IOException(kErrorOutOfSharedMemory);
  } catch (const SidsExhaustedError& error) {
    logger::Error("%s", error.what());
    throw IOException(kErrorOutOfSharedMemory);
  } catch (const ExternalFileError& error) {
    logger::Error("%s", error.what());
    ThrowFor(operation, kErrorBadValue);
  }
}

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_TRANSLATEEXCEPTIONS_H
