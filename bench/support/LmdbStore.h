// LMDB as the peer of the shared DOM: memory-mapped, multi-process, readers
// without locks. Keys are "section/key" in the main database; every read is
// mdb_get in the section's read transaction, reset after the read and renewed
// before the next (as LMDB advises for repeated reads, and cheaper than a
// begin and abort per read); writes commit without sync, one transaction per
// value or one per kBatch. A reader may prepare its keys before it reads
// (Prepare), so that a timed read is the transaction and mdb_get alone.
#ifndef SETTINGSTORE_BENCH_SUPPORT_LMDBSTORE_H
#define SETTINGSTORE_BENCH_SUPPORT_LMDBSTORE_H

#include <lmdb.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/DataShape.h"

namespace bench {

inline void CheckLmdb(int result, const char* what) {
  if (result != MDB_SUCCESS) throw std::runtime_error(std::string(what) + ": " + mdb_strerror(result));
}

template <int kBatch>
class LmdbStore {
 public:
  explicit LmdbStore(const std::string& directory) {
    CheckLmdb(mdb_env_create(&env_), "mdb_env_create");
    try {
      CheckLmdb(mdb_env_set_mapsize(env_, size_t{1} << 30), "mdb_env_set_mapsize");
      // NOTLS: a thread may hold the read transactions of several sections.
      CheckLmdb(mdb_env_open(env_, directory.c_str(), MDB_NOSYNC | MDB_NOTLS, 0600), "mdb_env_open");
      MDB_txn* txn = nullptr;
      CheckLmdb(mdb_txn_begin(env_, nullptr, 0, &txn), "mdb_txn_begin");
      const int opened = mdb_dbi_open(txn, nullptr, 0, &dbi_);
      if (opened != MDB_SUCCESS) mdb_txn_abort(txn);
      CheckLmdb(opened, "mdb_dbi_open");
      CheckLmdb(mdb_txn_commit(txn), "mdb_txn_commit");
    } catch (...) {
      mdb_env_close(env_);
      throw;
    }
  }
  ~LmdbStore() { mdb_env_close(env_); }
  LmdbStore(const LmdbStore&) = delete;
  LmdbStore& operator=(const LmdbStore&) = delete;

  class Section {
   public:
    Section(MDB_env* env, MDB_dbi dbi, const std::string& name) : env_(env), dbi_(dbi), prefix_(name + "/") {
      CheckLmdb(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &read_), "mdb_txn_begin");
      mdb_txn_reset(read_);
    }
    ~Section() {
      if (write_ != nullptr) mdb_txn_abort(write_);
      mdb_txn_abort(read_);
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

    void Write(const std::string& key, const char* value) {
      if (write_ == nullptr) CheckLmdb(mdb_txn_begin(env_, nullptr, 0, &write_), "mdb_txn_begin");
      Key full(prefix_, key);
      MDB_val data{kValueSize, const_cast<char*>(value)};
      CheckLmdb(mdb_put(write_, dbi_, &full.value, &data, 0), "mdb_put");
      if (++pending_ == kBatch) Flush();
    }
    void Flush() {
      if (write_ == nullptr) return;
      pending_ = 0;
      CheckLmdb(mdb_txn_commit(std::exchange(write_, nullptr)), "mdb_txn_commit");
    }
    // The full key of `key`, ready for Read; it lives as long as the section.
    MDB_val Prepare(const std::string& key) {
      const std::string& text = prepared_.emplace_back(prefix_ + key);
      return MDB_val{text.size(), const_cast<char*>(text.data())};
    }
    void Read(const MDB_val& key, char* buffer) {
      MDB_val data;
      CheckLmdb(mdb_txn_renew(read_), "mdb_txn_renew");
      const int found = mdb_get(read_, dbi_, const_cast<MDB_val*>(&key), &data);
      if (found == MDB_SUCCESS) std::memcpy(buffer, data.mv_data, std::min<size_t>(data.mv_size, kValueSize));
      mdb_txn_reset(read_);
      CheckLmdb(found, "mdb_get");
    }
    void Read(const std::string& key, char* buffer) { Read(Key(prefix_, key).value, buffer); }
    int Enumerate() {
      CheckLmdb(mdb_txn_renew(read_), "mdb_txn_renew");
      MDB_cursor* cursor = nullptr;
      int count = 0;
      if (mdb_cursor_open(read_, dbi_, &cursor) == MDB_SUCCESS) {
        MDB_val key{prefix_.size(), prefix_.data()};
        MDB_val data;
        for (int step = mdb_cursor_get(cursor, &key, &data, MDB_SET_RANGE);
             step == MDB_SUCCESS && key.mv_size > prefix_.size() &&
             std::memcmp(key.mv_data, prefix_.data(), prefix_.size()) == 0;
             step = mdb_cursor_get(cursor, &key, &data, MDB_NEXT)) {
          count += static_cast<const char*>(key.mv_data)[prefix_.size()] != '\0';
        }
        mdb_cursor_close(cursor);
      }
      mdb_txn_reset(read_);
      return count;
    }

   private:
    // "section/key" in a buffer of the caller's stack.
    struct Key {
      Key(const std::string& prefix, const std::string& key) {
        if (prefix.size() + key.size() > sizeof text) throw std::length_error("key too long");
        std::memcpy(text, prefix.data(), prefix.size());
        std::memcpy(text + prefix.size(), key.data(), key.size());
        value = MDB_val{prefix.size() + key.size(), text};
      }
      char text[96];
      MDB_val value;
    };

    MDB_env* env_;
    MDB_dbi dbi_;
    std::string prefix_;
    // A deque: the prepared keys stay where they are while more are added.
    std::deque<std::string> prepared_;
    MDB_txn* read_ = nullptr;
    MDB_txn* write_ = nullptr;
    int pending_ = 0;
  };

  Section CreateSection(const std::string& name) { return Section(env_, dbi_, name); }
  Section OpenSection(const std::string& name) { return Section(env_, dbi_, name); }

 private:
  MDB_env* env_ = nullptr;
  MDB_dbi dbi_ = 0;
};

using LmdbOneTxnPerValue = LmdbStore<1>;
using LmdbBatched = LmdbStore<100>;

}  // namespace bench

#endif  // SETTINGSTORE_BENCH_SUPPORT_LMDBSTORE_H
