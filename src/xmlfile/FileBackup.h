// The fall-back order and backup copy of one XML settings file: load the
// settings file (step 0), else its backup file (step 1), else the default
// file (step 2). Each storage owns its controller, so a failed load in one
// storage never touches the files of another.
#ifndef SETTINGSTORE_XMLFILE_FILEBACKUP_H
#define SETTINGSTORE_XMLFILE_FILEBACKUP_H

#include <string>

namespace storage {

class BackupController {
 public:
  enum Step : int { kSettingsFile = 0, kBackupFile = 1, kDefaultFile = 2 };

  // The backup file is file + ".backup". A null path throws AssertException.
  BackupController(const char* file, const char* defaultFile);

  // Readies the settings file for the current step: step 0 keeps a copy of
  // its content; steps 1 and 2 first overwrite it with the backup or the
  // default file (a missing source gives an empty file, which then fails).
  // False when the step's source is there but cannot be read (no permission,
  // a directory, an I/O error): that is no damage, so nothing is written and
  // ReadError() tells why.
  bool Prepare();
  // Moves the source that failed to load out of the way instead of deleting
  // it: in step 0 the settings file, in step 1 the backup file, each to
  // "<file>.damaged", the earlier ones shifting to ".damaged.1" and
  // ".damaged.2". A copy that a restore wrote into the settings file, and an
  // empty source, are removed; the default file is never touched. Returns
  // where the source went, empty when nothing was kept. Throws
  // TechnicalException when it cannot be moved; it then stays where it was.
  std::string SetAsideFailed();
  // Moves to the next step; AssertException when the default file was the last.
  void NextStep();
  // After a confirmed load, copies the content just loaded to the backup file
  // in the background, except after a load from the backup file itself.
  void Confirm() const;

  Step CurrentStep() const { return step_; }
  bool HasNextStep() const { return step_ != kDefaultFile; }
  const std::string& File() const { return file_; }
  const std::string& BackupFile() const { return backupFile_; }
  // What Prepare read for the settings file: the text to parse.
  const std::string& Content() const { return content_; }
  // The file the current step loads (settings, backup or default file),
  // whether Prepare found it, and why it could not be read.
  const std::string& Source() const;
  bool SourceFound() const { return sourceFound_; }
  const std::string& ReadError() const { return readError_; }

 private:
  // Reads source as the content to load; false when it cannot be read.
  bool Read(const std::string& source);
  bool Restore(const std::string& source);

  std::string file_;
  std::string defaultFile_;
  std::string backupFile_;
  std::string content_;  // the bytes last read for the settings file
  bool sourceFound_ = false;
  std::string readError_;
  Step step_ = kSettingsFile;
};

}  // namespace storage

#endif  // SETTINGSTORE_XMLFILE_FILEBACKUP_H
