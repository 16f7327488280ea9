// Backends that are not built yet say so instead of failing obscurely.
#include "Backends.h"

namespace storage {

namespace {
[[noreturn]] void NotBuilt(const char* backend) {
  throw TechnicalException(std::string("the ") + backend + " backend is not built yet");
}
}  // namespace

Backend MakeSharedDomBackend(IStorageInitializer*) { NotBuilt("shared DOM"); }
void UnloadSharedDom() {}

}  // namespace storage
