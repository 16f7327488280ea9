// The library's diagnostic log, printf-style.
#ifndef SETTINGSTORE_BASE_LOGGER_H
#define SETTINGSTORE_BASE_LOGGER_H

#include "storage/storage.h"

namespace storage::logger {

void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void info(const char* format, ...) __attribute__((format(printf, 1, 2)));
void debug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whether a message of this level would be written (to skip costly formatting).
bool enabled(Level level);

}  // namespace storage::logger

#endif  // SETTINGSTORE_BASE_LOGGER_H
