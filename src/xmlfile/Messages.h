// The texts this layer shows in exceptions, assertions and the log. Hosts
// and tests match them byte for byte: change none without need.
#ifndef SETTINGSTORE_XMLFILE_MESSAGES_H
#define SETTINGSTORE_XMLFILE_MESSAGES_H

#include <string>

namespace storage::messages::xmlfile {

inline constexpr char kFileBackupFile[] = "Utils\\FileBackup";
inline constexpr char kBackupControllerConstructor[] = "storage::BackupController::BackupController";
inline constexpr char kNoSettingsFile[] = "no settings file";
inline constexpr char kNoDefaultFile[] = "no default file";
inline constexpr char kBackupControllerNextStep[] = "storage::BackupController::NextStep";
inline constexpr char kLoadedInstead[] = "Loaded %s instead";
inline constexpr char kIsDamaged[] = "%s is damaged (%s)";
inline constexpr char kIsDamagedMoved[] = "%s is damaged (%s); moved it to %s";
inline constexpr char kLoadedEmptyInstead[] = "Loaded empty settings for %s instead";
inline constexpr char kBackupStillWritten[] = "The backup of %s was still being written after %u ms";
inline constexpr char kTryingAgain[] = "%s; trying again";
inline constexpr char kNoSettingsIn[] = "No settings in %s";
inline constexpr char kCheckRefused[] = "the check function refused it";
inline constexpr char kControllerFile[] = "XMLStorage\\XMLStorageController";
inline constexpr char kControllerConstructor[] = "storage::XMLStorageController::XMLStorageController";
inline constexpr char kCheckRefusedEmpty[] = "the check function refused even empty settings";
inline constexpr char kCheckRefusedLoaded[] = "The check function refused the settings loaded for %s";
inline constexpr char kCannotSave[] = "Cannot save the settings to %s: %s";
inline constexpr char kFileNotWatched[] = "Cannot watch %s for changes by other processes: %s";


inline std::string CannotMoveAside(const std::string& failed, const std::string& damaged) {
  return "Cannot move the damaged file " + failed + " aside to " + damaged;
}
inline std::string CannotRead(const std::string& file, const std::string& error) {
  return "Cannot read " + file + ": " + error;
}

}  // namespace storage::messages::xmlfile

#endif  // SETTINGSTORE_XMLFILE_MESSAGES_H
