// Values that live from library load to unload and are shared by every
// storage of the process.
#ifndef SETTINGSTORE_BASE_PROCESSVALUES_H
#define SETTINGSTORE_BASE_PROCESSVALUES_H

#include <cstdint>
#include <string>

namespace storage {

// Passed to every owner lock: 1 on a one-processor machine, else 10000.
uint32_t GetSpinCount();

// The name of the XML backend's settings file in its directory.
const std::string& XmlSettingsFileName();

}  // namespace storage

#endif  // SETTINGSTORE_BASE_PROCESSVALUES_H
