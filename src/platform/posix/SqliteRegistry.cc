// The persistent registry store: one SQLite database holding the three roots,
// shared by every process of the user. Each call is one transaction (writes
// take the write lock at once, so they wait for others instead of failing),
// committed with a synchronous write-ahead log: a call that answers 0 has its
// change on disk.
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/Messages.h"
#include "platform/Platform.h"
#include "platform/RegistryStore.h"

namespace storage::platform {

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;

// The wal-index that the unix VFS keeps in the "-shm" mapping starts with a
// header that every commit of every connection rewrites (its change counter,
// frame count, salts and checksum), the copy read here last. Reading it costs
// no lock and no system call, where any statement, even PRAGMA data_version,
// starts a read transaction whose shared-memory locks are most of a point
// read's cost.
constexpr int kWalIndexRegionSize = 32768;
constexpr uint32_t kWalIndexVersion = 3007000;
using WalIndexHeader = std::array<uint32_t, 12>;

// Thrown inside a call when SQLite fails; the call answers kRegIoFailed.
struct SqliteFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum StatementId {
  kKeyExists,
  kFindChild,
  kInsertChild,
  kHasChildren,
  kDeleteValuesOfKey,
  kDeleteKeyRow,
  kSelectKeyValue,
  kUpsertValue,
  kDeleteValueRow,
  kKeyCounts,
  kValueCounts,
  kNthChild,
  kValuesInOrder,
  kDataVersion,
  kBeginRead,
  kBeginWrite,
  kCommit,
  kRollback,
  kStatementCount
};

constexpr std::array<const char*, kStatementCount> kStatementTexts = {
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT id FROM keys WHERE parent = ?1 AND name = ?2",
    "INSERT INTO keys(parent, name) VALUES(?1, ?2)",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM key_values WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
    "SELECT v.type, v.data FROM keys k LEFT JOIN key_values v ON v.key = k.id AND v.name = ?2 "
    "WHERE k.id = ?1",
    "INSERT INTO key_values(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM key_values WHERE key = ?1 AND name = ?2",
    "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?1",
    "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), "
    "coalesce(max(length(data)), 0) FROM key_values WHERE key = ?1",
    "SELECT name FROM keys WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
    "SELECT name, type, data FROM key_values WHERE key = ?1 ORDER BY rowid",
    "PRAGMA data_version",
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
};

// Names are compared with NOCASE: ASCII letters without regard to case, as
// the in-memory store does. Value rows keep their rowid when replaced, so
// enumeration follows the order in which values were first set.
constexpr const char* kSchema =
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER,"
    " name TEXT NOT NULL COLLATE NOCASE);"
    "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, name);"
    "CREATE TABLE key_values(key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name));"
    "INSERT INTO keys(id, parent, name) VALUES(1, NULL, 'HKEY_CLASSES_ROOT'),"
    " (2, NULL, 'HKEY_CURRENT_USER'), (3, NULL, 'HKEY_LOCAL_MACHINE'),"
    " (4, 2, 'Software'), (5, 3, 'Software');"
    "PRAGMA user_version = 1;";

std::string_view ColumnBytes(sqlite3_stmt* statement, int column) {
  const void* bytes = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  return bytes ? std::string_view(static_cast<const char*>(bytes), static_cast<size_t>(size))
               : std::string_view();
}

// One use of a prepared statement: binds, steps, and resets it on leaving.
class Query {
 public:
  Query(sqlite3* db, sqlite3_stmt* statement) : db_(db), statement_(statement) {}
  ~Query() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int index, int64_t value) {
    Check(sqlite3_bind_int64(statement_, index, value));
    return *this;
  }
  Query& BindText(int index, std::string_view text) {
    Check(sqlite3_bind_text(statement_, index, text.empty() ? "" : text.data(), static_cast<int>(text.size()),
                            SQLITE_STATIC));
    return *this;
  }
  Query& BindBlob(int index, std::string_view bytes) {
    Check(bytes.empty() ? sqlite3_bind_zeroblob(statement_, index, 0)
                        : sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()),
                                            SQLITE_STATIC));
    return *this;
  }

  // True while a row is there to read.
  bool Step() {
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) return true;
    if (result == SQLITE_DONE) return false;
    throw SqliteFailure(sqlite3_errmsg(db_));
  }
  // Runs a statement that returns no rows.
  void Run() { Step(); }

  int64_t Integer(int column) const { return sqlite3_column_int64(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string_view Bytes(int column) const { return ColumnBytes(statement_, column); }

 private:
  void Check(int result) {
    if (result != SQLITE_OK) throw SqliteFailure(sqlite3_errmsg(db_));
  }

  sqlite3* db_;
  sqlite3_stmt* statement_;
};

class SqliteRegistry : public RegistryStore {
 public:
  ~SqliteRegistry() override {
    for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
    sqlite3_close_v2(db_);
  }

  // Null with the reason logged when the file cannot be opened or set up.
  static std::shared_ptr<SqliteRegistry> Open(const std::string& path) {
    std::shared_ptr<SqliteRegistry> store(new SqliteRegistry);
    const int opened =
        sqlite3_open_v2(path.c_str(), &store->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    try {
      if (opened != SQLITE_OK) throw SqliteFailure(sqlite3_errstr(opened));
      store->Prepare();
    } catch (const SqliteFailure& failure) {
      Log(LogLevel::kError, messages::platform::kRegistryStoreNotOpened, path.c_str(), failure.what());
      return nullptr;
    }
    return store;
  }

  LSTATUS OpenKey(KeyId parent, const Path& path, bool create, KeyId* key) override {
    return InTransaction(create, [&] {
      if (!KeyExists(parent)) return kRegKeyDeleted;
      KeyId current = parent;
      for (const std::string_view level : path) {
        KeyId child;
        if (FindChild(current, level, &child)) {
          current = child;
        } else if (create) {
          Use(kInsertChild).Bind(1, current).BindText(2, level).Run();
          current = sqlite3_last_insert_rowid(db_);
        } else {
          return kRegNotFound;
        }
      }
      *key = current;
      return kRegSuccess;
    });
  }

  LSTATUS DeleteKey(KeyId parent, const Path& path) override {
    return InTransaction(true, [&] {
      if (!KeyExists(parent)) return kRegKeyDeleted;
      KeyId target = parent;
      for (const std::string_view level : path) {
        if (!FindChild(target, level, &target)) return kRegNotFound;
      }
      if (Use(kHasChildren).Bind(1, target).Step()) return kRegAccessDenied;
      Use(kDeleteValuesOfKey).Bind(1, target).Run();
      Use(kDeleteKeyRow).Bind(1, target).Run();
      return kRegSuccess;
    });
  }

  // The hottest call, made twice for a key opened and read: one statement
  // that tells a deleted key from a missing value by itself, so it runs as
  // its own implicit read transaction. Its answer is kept, and serves the
  // same question again as long as the wal-index header shows no commit of
  // any connection since the statement ran.
  LSTATUS QueryValue(KeyId key, std::string_view name, Value* value) override {
    return Serialized([&] {
      WalIndexHeader now;
      const bool watched = WalIndexNow(&now);
      if (!(watched && lastRead_.valid && lastRead_.walIndex == now && lastRead_.key == key &&
            lastRead_.name == name)) {
        lastRead_.valid = false;
        Query query = Use(kSelectKeyValue);
        if (!query.Bind(1, key).BindText(2, name).Step()) {
          lastRead_.status = kRegKeyDeleted;
        } else if (query.IsNull(0)) {
          lastRead_.status = kRegNotFound;
        } else {
          lastRead_.status = kRegSuccess;
          lastRead_.value.type = static_cast<DWORD>(query.Integer(0));
          lastRead_.value.data = query.Bytes(1);
        }
        // The header was read before the statement: a commit in between
        // makes the next read ask again rather than trust an older answer.
        lastRead_.key = key;
        lastRead_.name = name;
        lastRead_.walIndex = now;
        lastRead_.valid = watched;
      }
      if (lastRead_.status == kRegSuccess) {
        value->type = lastRead_.value.type;
        value->data.assign(lastRead_.value.data);
      }
      return lastRead_.status;
    });
  }

  LSTATUS SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) override {
    return InTransaction(true, [&] {
      if (!KeyExists(key)) return kRegKeyDeleted;
      Use(kUpsertValue).Bind(1, key).BindText(2, name).Bind(3, type).BindBlob(4, data).Run();
      return kRegSuccess;
    });
  }

  LSTATUS DeleteValue(KeyId key, std::string_view name) override {
    return InTransaction(true, [&] {
      if (!KeyExists(key)) return kRegKeyDeleted;
      Use(kDeleteValueRow).Bind(1, key).BindText(2, name).Run();
      return sqlite3_changes(db_) > 0 ? kRegSuccess : kRegNotFound;
    });
  }

  LSTATUS QueryInfo(KeyId key, KeyInfo* info) override {
    return InTransaction(false, [&] {
      if (!KeyExists(key)) return kRegKeyDeleted;
      {
        Query keys = Use(kKeyCounts);
        keys.Bind(1, key).Step();
        info->subKeys = static_cast<DWORD>(keys.Integer(0));
        info->maxSubKeyLength = static_cast<DWORD>(keys.Integer(1));
      }
      Query values = Use(kValueCounts);
      values.Bind(1, key).Step();
      info->values = static_cast<DWORD>(values.Integer(0));
      info->maxValueNameLength = static_cast<DWORD>(values.Integer(1));
      info->maxValueLength = static_cast<DWORD>(values.Integer(2));
      return kRegSuccess;
    });
  }

  LSTATUS EnumKey(KeyId key, DWORD index, std::string* name) override {
    return InTransaction(false, [&] {
      if (!KeyExists(key)) return kRegKeyDeleted;
      Query query = Use(kNthChild);
      if (!query.Bind(1, key).Bind(2, index).Step()) return kRegNoMoreItems;
      *name = query.Bytes(0);
      return kRegSuccess;
    });
  }

  // Values are asked for one index at a time, and each answer would sort the
  // key's values again: a whole enumeration would take quadratic time. The
  // key's values are read once instead, and serve the following indexes as
  // long as no connection has changed the database.
  LSTATUS EnumValue(KeyId key, DWORD index, std::string* name, Value* value) override {
    return InTransaction(false, [&] {
      const int64_t version = DataVersion();
      if (!enumerated_ || enumerated_->key != key || enumerated_->version != version) {
        enumerated_.reset();
        if (!KeyExists(key)) return kRegKeyDeleted;
        EnumeratedValues read{key, version, {}};
        Query query = Use(kValuesInOrder);
        query.Bind(1, key);
        while (query.Step()) {
          read.values.push_back({std::string(query.Bytes(0)),
                                 Value{static_cast<DWORD>(query.Integer(1)), std::string(query.Bytes(2))}});
        }
        enumerated_ = std::move(read);
      }
      if (index >= enumerated_->values.size()) {
        enumerated_.reset();  // the enumeration is over: its copy goes
        return kRegNoMoreItems;
      }
      *name = enumerated_->values[index].first;
      *value = enumerated_->values[index].second;
      return kRegSuccess;
    });
  }

 private:
  SqliteRegistry() = default;

  void Execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string text = message ? message : sqlite3_errmsg(db_);
      sqlite3_free(message);
      throw SqliteFailure(text);
    }
  }

  // Two processes that meet a new file at once may both ask for WAL; SQLite
  // then answers one of them "busy" at once, without waiting the busy
  // timeout (waiting could deadlock), so the switch is retried here.
  void SwitchToWal() {
    for (int waited = 0;; waited += 5) {
      int result = sqlite3_exec(db_, "PRAGMA journal_mode = WAL;", nullptr, nullptr, nullptr);
      if (result == SQLITE_OK) return;
      if ((result & 0xFF) != SQLITE_BUSY || waited >= kBusyTimeoutMs)
        throw SqliteFailure(sqlite3_errmsg(db_));
      usleep(5000);
    }
  }

  // WAL lets readers of other processes go on while one writes; FULL makes
  // every commit durable before the call returns.
  void Prepare() {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db_, 1);
    SwitchToWal();
    Execute("PRAGMA synchronous = FULL;");
    // Several processes may meet a new file at once: the first to take the
    // write lock lays out the schema, the others find it done.
    Execute("BEGIN IMMEDIATE");
    try {
      int version = 0;
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW) {
        version = sqlite3_column_int(statement, 0);
      }
      sqlite3_finalize(statement);
      if (version == 0) Execute(kSchema);
      if (version > kSchemaVersion) throw SqliteFailure(messages::platform::kRegistryStoreTooNew);
      Execute("COMMIT");
    } catch (const SqliteFailure&) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
    for (size_t i = 0; i < kStatementCount; ++i) {
      if (sqlite3_prepare_v3(db_, kStatementTexts[i], -1, SQLITE_PREPARE_PERSISTENT, &statements_[i],
                             nullptr) != SQLITE_OK) {
        throw SqliteFailure(sqlite3_errmsg(db_));
      }
    }
    WatchWalIndex();
  }

  // Finds the wal-index mapping of the unix VFS, which the transactions
  // above have opened. Without it (another journal mode or VFS) no read is
  // answered from the last one.
  void WatchWalIndex() {
    sqlite3_stmt* statement = nullptr;
    bool wal = false;
    if (sqlite3_prepare_v2(db_, "PRAGMA journal_mode", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      wal = mode && std::string_view(mode) == "wal";
    }
    sqlite3_finalize(statement);
    sqlite3_file* file = nullptr;
    if (!wal || sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods || file->pMethods->iVersion < 2 || !file->pMethods->xShmMap) {
      return;
    }
    volatile void* region = nullptr;
    if (file->pMethods->xShmMap(file, 0, kWalIndexRegionSize, 0, &region) == SQLITE_OK && region) {
      walIndex_ = static_cast<uint32_t*>(const_cast<void*>(region));
      WalIndexHeader header;
      if (!WalIndexNow(&header)) walIndex_ = nullptr;
    }
  }

  // The wal-index header as it is now; false when there is none to trust.
  // A header caught halfway through a commit differs from any kept copy.
  bool WalIndexNow(WalIndexHeader* header) const {
    if (walIndex_ == nullptr) return false;
    for (size_t i = 0; i < header->size(); ++i) {
      (*header)[i] = std::atomic_ref<uint32_t>(walIndex_[i]).load(std::memory_order_acquire);
    }
    return (*header)[0] == kWalIndexVersion;
  }

  Query Use(StatementId id) { return Query(db_, statements_[id]); }

  // Ends a transaction that failed or changed nothing; nothing to report if
  // there is none left to end.
  void RollBack() {
    if (sqlite3_get_autocommit(db_)) return;
    sqlite3_step(statements_[kRollback]);
    sqlite3_reset(statements_[kRollback]);
  }

  bool KeyExists(KeyId key) { return Use(kKeyExists).Bind(1, key).Step(); }

  // Changes when another connection commits; this connection's own writes
  // leave it as it is, so they drop the enumeration copy themselves.
  int64_t DataVersion() {
    Query query = Use(kDataVersion);
    if (!query.Step()) throw SqliteFailure(messages::platform::kRegistryStoreNoDataVersion);
    return query.Integer(0);
  }

  uint64_t CommitCount() override {
    std::lock_guard lock(mutex_);
    try {
      return static_cast<uint64_t>(DataVersion()) + ownCommits_;
    } catch (const SqliteFailure& failure) {
      Log(LogLevel::kError, messages::platform::kRegistryStoreFailed, failure.what());
      return ownCommits_;
    }
  }

  bool FindChild(KeyId parent, std::string_view name, KeyId* child) {
    Query query = Use(kFindChild);
    if (!query.Bind(1, parent).BindText(2, name).Step()) return false;
    *child = query.Integer(0);
    return true;
  }

  // Runs `body` in one transaction, committed only when it answers 0. A write
  // takes the write lock at the start, so that it waits (busy timeout) rather
  // than fail when another process writes.
  template <typename Body>
  LSTATUS InTransaction(bool write, Body body) {
    return Serialized([&] {
      if (write) {
        enumerated_.reset();
        lastRead_.valid = false;
      }
      Use(write ? kBeginWrite : kBeginRead).Run();
      LSTATUS result;
      try {
        result = body();
        if (result == kRegSuccess) {
          Use(kCommit).Run();
          if (write) ++ownCommits_;
        }
      } catch (const SqliteFailure&) {
        RollBack();
        throw;
      }
      if (result != kRegSuccess) RollBack();
      return result;
    });
  }

  // Runs `body` alone on the connection; a SQLite failure answers kRegIoFailed.
  template <typename Body>
  LSTATUS Serialized(Body body) {
    std::lock_guard lock(mutex_);
    try {
      return body();
    } catch (const SqliteFailure& failure) {
      Log(LogLevel::kError, messages::platform::kRegistryStoreFailed, failure.what());
      return kRegIoFailed;
    }
  }

  // The values of the key enumerated last, in order, as of `version`.
  struct EnumeratedValues {
    KeyId key;
    int64_t version;
    std::vector<std::pair<std::string, Value>> values;
  };

  // The answer of the last QueryValue, as of the wal-index header `walIndex`.
  struct LastRead {
    bool valid = false;
    WalIndexHeader walIndex{};
    KeyId key = 0;
    std::string name;
    LSTATUS status = kRegSuccess;
    Value value;
  };

  std::mutex mutex_;  // one connection, one transaction at a time
  uint64_t ownCommits_ = 0;  // which data_version does not count
  std::optional<EnumeratedValues> enumerated_;
  LastRead lastRead_;
  uint32_t* walIndex_ = nullptr;  // the first header copy, or none
  sqlite3* db_ = nullptr;
  std::array<sqlite3_stmt*, kStatementCount> statements_{};
};

// mkdir -p for the directories above the database file, private to the user.
void MakeParentDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string directory = path.substr(0, slash);
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return ".";
}

}  // namespace

std::shared_ptr<RegistryStore> OpenPersistentRegistry(const std::string& path) {
  MakeParentDirectories(path);
  return SqliteRegistry::Open(path);
}

std::string DefaultRegistryDatabasePath() {
  if (const char* chosen = std::getenv("SETTINGSTORE_REGISTRY_DB"); chosen && *chosen) {
    return chosen;
  }
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
    return std::string(data) + "/settingstore/registry.db";
  }
  return HomeDirectory() + "/.local/share/settingstore/registry.db";
}

}  // namespace storage::platform
