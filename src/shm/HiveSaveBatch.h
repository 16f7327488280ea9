// The hive files of one storage are several files that refer to each other
// (the hash chain of a page manager, the SIDs that nodes keep of strings), so
// a save must replace them all or none. While a batch is open on a thread,
// the hive files that its segments save are written to temporaries and kept
// locked; the outermost batch then commits them at once: a manifest naming
// every (temporary, file) pair is written atomically - the commit point -
// the temporaries are renamed over their files and the manifest is removed.
// Files and manifest lie in one directory; the manifest names them without it.
// A process killed after the commit point leaves the manifest; the next load
// of any file it names finishes the renames first. Killed before it, the
// files keep the previous save, and the temporaries are cleared later.
#ifndef SETTINGSTORE_SHM_HIVESAVEBATCH_H
#define SETTINGSTORE_SHM_HIVESAVEBATCH_H

#include <memory>
#include <string>

namespace storage {

class Mutex;

class HiveSaveBatch {
 public:
  // Opens a batch on this thread, or joins the one that is open. When it is
  // the outermost, `saved` (if given) tells at its end whether every file
  // due to be saved was written.
  explicit HiveSaveBatch(bool* saved = nullptr);
  // The outermost batch commits what was added; failures are logged.
  ~HiveSaveBatch();
  HiveSaveBatch(const HiveSaveBatch&) = delete;
  HiveSaveBatch& operator=(const HiveSaveBatch&) = delete;

  // Whether a batch is open on the calling thread.
  static bool IsOpen();
  // Hands the written temporary of `file` to the open batch, with the file's
  // load/save mutex, which the caller has locked once more for the batch:
  // nobody loads the file before the batch has committed it.
  static void Add(std::unique_ptr<Mutex> lockedMutex, std::string temporary, std::string file);
  // Tells the open batch that a file was due to be saved and could not be
  // written (the caller has logged which).
  static void AddFailure();
  // Finishes a committed set that a killed process left half renamed, when
  // the set names this file. Called before the file is read, with its mutex
  // held. Only manifests of the caller's own are followed, and only for plain
  // names of hive files and their temporaries beside the manifest; any other
  // is logged and left alone.
  static void Recover(const std::string& file);
  // The storage's first node hive, in the directory of `file`: every file of
  // a shared storage takes its permission bits.
  static std::string MainHiveFile(const std::string& file);
};

}  // namespace storage

#endif  // SETTINGSTORE_SHM_HIVESAVEBATCH_H
