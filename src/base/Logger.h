// The library's diagnostic log, printf-style.
#ifndef SETTINGSTORE_BASE_LOGGER_H
#define SETTINGSTORE_BASE_LOGGER_H

#include "storage/storage.h"

namespace storage::logger {

void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Info(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Debug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whether a message of this level would be written (to skip costly formatting).
bool Enabled(Level level);

}  // namespace storage::logger

#endif  // SETTINGSTORE_BASE_LOGGER_H
