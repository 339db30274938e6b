// RAII wrappers over SQLite connections, prepared statements and write
// transactions; every failure becomes a StoreError naming the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include <sqlite3.h>

namespace vorn_datastore::sqlite {

struct DbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

class Connection;

// A prepared statement in use. Resetting on scope exit matters: a statement
// left mid-step keeps a read transaction open, which pins an old snapshot on a
// pooled reader and blocks WAL checkpoints.
class Stmt {
 public:
  Stmt(Connection& conn, sqlite3_stmt* stmt) noexcept : conn_(conn), s_(stmt) {}
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  ~Stmt() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }

  void bind(int i, std::string_view v);
  void bind(int i, std::int64_t v);
  void bind(int i, double v);
  void bind_null(int i);
  void bind_blob(int i, const void* data, std::size_t bytes);
  // true: a row is ready; false: done.
  bool step(std::string_view what);

  std::int64_t int64(int col) const noexcept { return sqlite3_column_int64(s_, col); }
  std::string_view text(int col) const noexcept {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
    return p == nullptr ? std::string_view{}
                        : std::string_view(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, col)));
  }
  std::span<const std::byte> blob(int col) const noexcept {
    const auto* p = static_cast<const std::byte*>(sqlite3_column_blob(s_, col));
    return {p, p == nullptr ? 0 : static_cast<std::size_t>(sqlite3_column_bytes(s_, col))};
  }
  double real(int col) const noexcept { return sqlite3_column_double(s_, col); }

 private:
  void check_bind(int rc);
  Connection& conn_;
  sqlite3_stmt* s_;
};

enum class OpenMode {
  read_write,  // creates the file when it is missing
  read_only,
  // For a file whose directory this process cannot write: SQLite is told the
  // file cannot change, so it needs no -shm/-wal beside it. Only safe when no
  // writer is active, which is the case when those files are absent.
  immutable,
};

class Connection {
 public:
  Connection(const std::filesystem::path& path, OpenMode mode);

  sqlite3* db() const noexcept { return db_.get(); }
  const std::filesystem::path& path() const noexcept { return path_; }

  [[noreturn]] void fail(int rc, std::string_view what) const;

  // Statements are cached per SQL text; the cache is bounded because filtered
  // queries generate SQL per filter shape.
  Stmt prepare(const std::string& sql);
  void exec(const char* sql, std::string_view what);
  // The first column of the first row; 0 when there is no row.
  std::int64_t query_int(const std::string& sql, std::string_view what);

  // BEGIN and COMMIT of a read transaction (see ReadTransaction), from
  // statements prepared once: parsing them anew for every search cost
  // more than the locks they take.
  void begin_read();
  void end_read() noexcept;

 private:
  std::filesystem::path path_;
  DbPtr db_;
  std::unordered_map<std::string, StmtPtr> cache_;
  StmtPtr begin_read_;
  StmtPtr end_read_;
};

// One read transaction around several statements: they read one snapshot of
// the file, and SQLite takes its file locks (system calls) once instead of
// once per statement. Inside a transaction already open on the connection
// it does nothing.
class ReadTransaction {
 public:
  explicit ReadTransaction(Connection& c);
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;
  ~ReadTransaction();

 private:
  Connection& c_;
  bool open_ = false;
};

// Begin/commit with rollback on every other exit path.
class Transaction {
 public:
  explicit Transaction(Connection& c);
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();
  void commit();

 private:
  Connection& c_;
  bool done_ = false;
};

}  // namespace vorn_datastore::sqlite
