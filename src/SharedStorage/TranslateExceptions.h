// How the shared DOM's inner failures reach the host: a marked node becomes
// code -1 of the operation's kind, a damaged structure -13, exhausted shared
// memory or SIDs -14. Everything else passes unchanged. An object kept from a
// storage that has been torn down fails as if deleted, before it reads any
// memory.
#ifndef SETTINGSTORE_SHAREDSTORAGE_TRANSLATEEXCEPTIONS_H
#define SETTINGSTORE_SHAREDSTORAGE_TRANSLATEEXCEPTIONS_H

#include "SharedStorage/NodeRef.h"
#include "SharedStorage/StringFactory.h"
#include "framework/Exceptions.h"
#include "framework/Logger.h"

namespace storage {

// Which exception a marked node becomes.
enum class Operation { kOpen, kCreate, kDelete, kIO };

[[noreturn]] inline void ThrowDeleted(Operation operation) {
  switch (operation) {
    case Operation::kOpen:
      throw OpenException(kErrorDeleted);
    case Operation::kCreate:
      throw CreateException(kErrorDeleted);
    case Operation::kDelete:
      throw DeleteException(kErrorDeleted);
    case Operation::kIO:
      break;
  }
  throw IOException(kErrorDeleted);
}

template <class Body>
auto TranslateExceptions(Operation operation, const NodeRef& anchor, Body&& body) -> decltype(body()) {
  if (!anchor.isCurrent()) ThrowDeleted(operation);
  try {
    return body();
  } catch (const MarkToDeleteException&) {
    logger::debug("MarkToDeleteException handled");
    ThrowDeleted(operation);
  } catch (const InternalStructureException& error) {
    logger::error("InternalStructureException handled: %s", error.what());
    throw IOException(kErrorDamagedStructure);
  } catch (const BadAllocException& error) {
    logger::error("BadAllocException handled: %s", error.what());
    throw IOException(kErrorOutOfSharedMemory);
  } catch (const SidsExhaustedError& error) {
    logger::error("%s", error.what());
    throw IOException(kErrorOutOfSharedMemory);
  }
}

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDSTORAGE_TRANSLATEEXCEPTIONS_H
