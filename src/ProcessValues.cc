#include "ProcessValues.h"

#include "platform/Platform.h"

namespace storage {

namespace {

// Defined in load order; nothing reads them before main or after exit.
const uint32_t g_spin_count = platform::ProcessorCount() == 1 ? 1u : 10000u;
std::string g_xml_storage_directory = ".";
std::string g_xml_default_directory = ".";
const std::string g_xml_settings_file_name = ".storage";

}  // namespace

uint32_t GetSpinCount() { return g_spin_count; }
std::string& XmlStorageDirectory() { return g_xml_storage_directory; }
std::string& XmlDefaultDirectory() { return g_xml_default_directory; }
const std::string& XmlSettingsFileName() { return g_xml_settings_file_name; }

}  // namespace storage
