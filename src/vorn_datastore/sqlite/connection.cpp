#include "connection.hpp"

#include "errors.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace vorn_datastore::sqlite {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr std::size_t kMaxCachedStatements = 64;

// A file: URI for `path`; the characters a URI gives meaning to are escaped.
std::string file_uri(const std::filesystem::path& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (const char c : path.string()) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '%' || c == '?' || c == '#' || u < 0x20 || u >= 0x7F) {
      uri += '%';
      uri += kHex[u >> 4U];
      uri += kHex[u & 0xFU];
    } else {
      uri += c;
    }
  }
  return uri;
}

}  // namespace

Connection::Connection(const std::filesystem::path& path, OpenMode mode) : path_(path) {
  sqlite3* raw = nullptr;
  int flags = SQLITE_OPEN_NOMUTEX;
  std::string name = path.string();
  switch (mode) {
    case OpenMode::read_write: flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE; break;
    case OpenMode::read_only: flags |= SQLITE_OPEN_READONLY; break;
    case OpenMode::immutable:
      flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
      name = file_uri(path) + "?immutable=1";
      break;
  }
  const int rc = sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) {
    const std::string detail = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    const std::string code = code_for(rc) == store_errc::kCorrupt ? store_errc::kCorrupt : store_errc::kOpen;
    throw StoreError(code, "Cannot open store " + quoted(path) + ": " + detail +
                               ". Check that the directory exists and is writable, then retry.");
  }
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  // Reading the file through a memory map spares one read() per page: a
  // cold `ask` that loads every stored vector made ~30,000 of them at
  // 13,000 chunks, most of its time. (SQLite falls back to read() where
  // mapping is unavailable.)
  sqlite3_exec(raw, "PRAGMA mmap_size=1073741824", nullptr, nullptr, nullptr);
}

void Connection::fail(int rc, std::string_view what) const { raise_sqlite(db_.get(), rc, what, path_); }

Stmt Connection::prepare(const std::string& sql) {
  auto it = cache_.find(sql);
  if (it == cache_.end()) {
    if (cache_.size() >= kMaxCachedStatements) cache_.clear();
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v3(db_.get(), sql.c_str(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    if (rc != SQLITE_OK) fail(rc, "Preparing a query");
    it = cache_.emplace(sql, StmtPtr(raw)).first;
  }
  return Stmt(*this, it->second.get());
}

void Connection::exec(const char* sql, std::string_view what) {
  const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) fail(rc, what);
}

std::int64_t Connection::query_int(const std::string& sql, std::string_view what) {
  Stmt s = prepare(sql);
  if (!s.step(what)) return 0;
  return s.int64(0);
}

void Stmt::check_bind(int rc) {
  if (rc != SQLITE_OK) conn_.fail(rc, "Binding a query parameter");
}
void Stmt::bind(int i, std::string_view v) {
  check_bind(sqlite3_bind_text64(s_, i, v.data(), v.size(), SQLITE_STATIC, SQLITE_UTF8));
}
void Stmt::bind(int i, std::int64_t v) { check_bind(sqlite3_bind_int64(s_, i, v)); }
void Stmt::bind(int i, double v) { check_bind(sqlite3_bind_double(s_, i, v)); }
void Stmt::bind_null(int i) { check_bind(sqlite3_bind_null(s_, i)); }
void Stmt::bind_blob(int i, const void* data, std::size_t bytes) {
  check_bind(sqlite3_bind_blob64(s_, i, data, bytes, SQLITE_STATIC));
}
bool Stmt::step(std::string_view what) {
  const int rc = sqlite3_step(s_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  conn_.fail(rc, what);
}

void Connection::begin_read() {
  if (!begin_read_) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v3(db_.get(), "BEGIN", -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    if (rc != SQLITE_OK) fail(rc, "Starting a read transaction");
    begin_read_.reset(raw);
  }
  const int rc = sqlite3_step(begin_read_.get());
  sqlite3_reset(begin_read_.get());
  if (rc != SQLITE_DONE) fail(rc, "Starting a read transaction");
}

void Connection::end_read() noexcept {
  if (!end_read_) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v3(db_.get(), "COMMIT", -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) != SQLITE_OK) {
      sqlite3_finalize(raw);
      sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr);
      return;
    }
    end_read_.reset(raw);
  }
  sqlite3_step(end_read_.get());
  sqlite3_reset(end_read_.get());
}

ReadTransaction::ReadTransaction(Connection& c) : c_(c) {
  if (sqlite3_get_autocommit(c_.db()) == 0) return;
  c_.begin_read();
  open_ = true;
}
ReadTransaction::~ReadTransaction() {
  if (open_) c_.end_read();
}

Transaction::Transaction(Connection& c) : c_(c) { c_.exec("BEGIN IMMEDIATE", "Starting a write transaction"); }
Transaction::~Transaction() {
  if (!done_) sqlite3_exec(c_.db(), "ROLLBACK", nullptr, nullptr, nullptr);
}
void Transaction::commit() {
  c_.exec("COMMIT", "Committing a write transaction");
  done_ = true;
}

}  // namespace vorn_datastore::sqlite
