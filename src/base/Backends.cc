#include "base/Backends.h"

#include <string>

#include "base/Exceptions.h"
#include "platform/Platform.h"

namespace storage {

void RequireStorageDirectory(const char* directory) {
  std::string problem;
  if (platform::CheckStorageDirectory(directory, &problem)) return;
  throw TechnicalException(problem);
}

}  // namespace storage
