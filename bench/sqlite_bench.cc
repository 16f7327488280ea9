// SQLite as a peer: the default embedded database, in WAL mode without sync,
// one table keyed by (section, key), every statement prepared once. Writes
// commit one per value or one per 100.
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "support/DataShape.h"
#include "support/Workloads.h"

namespace {

using bench::kValueSize;

template <int kBatch>
class SqliteStore {
 public:
  explicit SqliteStore(const std::string& directory) {
    const int opened = sqlite3_open_v2((directory + "/bench.db").c_str(), &db_,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (opened != SQLITE_OK) {
      sqlite3_close_v2(db_);
      throw std::runtime_error("sqlite3_open_v2 failed");
    }
    try {
      Execute(
          "PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF;"
          "CREATE TABLE IF NOT EXISTS settings(section TEXT NOT NULL, key TEXT NOT NULL, value BLOB,"
          " PRIMARY KEY(section, key)) WITHOUT ROWID;");
    } catch (...) {
      sqlite3_close_v2(db_);
      throw;
    }
  }
  ~SqliteStore() { sqlite3_close_v2(db_); }
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  class Section {
   public:
    Section(SqliteStore& store, const std::string& name)
        : store_(store),
          name_(name),
          select_(store.Prepare("SELECT value FROM settings WHERE section = ?1 AND key = ?2")),
          upsert_(store.Prepare("INSERT OR REPLACE INTO settings(section, key, value) VALUES(?1, ?2, ?3)")),
          keys_(store.Prepare("SELECT key FROM settings WHERE section = ?1 ORDER BY key")) {
      for (sqlite3_stmt* statement : {select_, upsert_, keys_}) {
        sqlite3_bind_text(statement, 1, name_.data(), static_cast<int>(name_.size()), SQLITE_STATIC);
      }
    }
    ~Section() {
      // Only a failed workload leaves a batch open; its writes are dropped.
      if (pending_ > 0) sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
      for (sqlite3_stmt* statement : {select_, upsert_, keys_}) sqlite3_finalize(statement);
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

    void Write(const std::string& key, const char* value) {
      if (kBatch > 1 && pending_ == 0) store_.Execute("BEGIN");
      sqlite3_bind_text(upsert_, 2, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
      sqlite3_bind_blob(upsert_, 3, value, kValueSize, SQLITE_STATIC);
      const int stepped = sqlite3_step(upsert_);
      sqlite3_reset(upsert_);
      if (stepped != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(store_.db_));
      if (kBatch > 1 && ++pending_ == kBatch) Flush();
    }
    void Flush() {
      if (pending_ == 0) return;
      pending_ = 0;
      store_.Execute("COMMIT");
    }
    void Read(const std::string& key, char* buffer) {
      sqlite3_bind_text(select_, 2, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
      const int stepped = sqlite3_step(select_);
      if (stepped == SQLITE_ROW) {
        const int size = std::min<int>(sqlite3_column_bytes(select_, 0), kValueSize);
        std::memcpy(buffer, sqlite3_column_blob(select_, 0), size);
      }
      sqlite3_reset(select_);
      if (stepped != SQLITE_ROW) throw std::runtime_error("no such key");
    }
    int Enumerate() {
      int count = 0;
      while (sqlite3_step(keys_) == SQLITE_ROW) {
        count += sqlite3_column_text(keys_, 0)[0] != '\0';
      }
      sqlite3_reset(keys_);
      return count;
    }

   private:
    SqliteStore& store_;
    std::string name_;
    sqlite3_stmt* select_;
    sqlite3_stmt* upsert_;
    sqlite3_stmt* keys_;
    int pending_ = 0;
  };

  Section CreateSection(const std::string& name) { return Section(*this, name); }
  Section OpenSection(const std::string& name) { return Section(*this, name); }

 private:
  void Execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string text = message ? message : "sqlite3_exec failed";
      sqlite3_free(message);
      throw std::runtime_error(text);
    }
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(db_));
    }
    return statement;
  }

  sqlite3* db_ = nullptr;
};

using OneTxnPerValue = SqliteStore<1>;
using Batched = SqliteStore<100>;

}  // namespace

int main(int argc, char** argv) {
  bench::RegisterCommonWorkloads<OneTxnPerValue>("sqlite");
  benchmark::RegisterBenchmark("write_new/sqlite_batch100", bench::WriteNew<Batched>)->Iterations(10000);
  benchmark::RegisterBenchmark("overwrite/sqlite_batch100", bench::Overwrite<Batched>);
  bench::RegisterColdOpen<OneTxnPerValue>("sqlite");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
