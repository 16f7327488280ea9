#include "base/ProcessValues.h"

#include "platform/Platform.h"

namespace storage {

namespace {

// Defined in load order; nothing reads them before main or after exit.
const uint32_t g_spin_count = platform::ProcessorCount() == 1 ? 1u : 10000u;
const std::string g_xml_settings_file_name = ".storage";

}  // namespace

uint32_t GetSpinCount() { return g_spin_count; }
const std::string& XmlSettingsFileName() { return g_xml_settings_file_name; }

}  // namespace storage
