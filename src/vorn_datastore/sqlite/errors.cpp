#include "errors.hpp"

#include <sqlite3.h>

#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace vorn_datastore::sqlite {

const char* advice_for(std::string_view code) {
  if (code == store_errc::kCorrupt) {
    return "The file is damaged or is not a vorn store: restore it from a backup or rebuild it by ingesting "
           "the documents again into a new path.";
  }
  if (code == store_errc::kBusy) return "Another process is writing to the store; retry when it has finished.";
  if (code == store_errc::kInput) return "Fix the input and retry.";
  if (code == store_errc::kOpen) return "Check the path and its permissions and retry.";
  return "Check free disk space and file permissions, then retry.";
}

const char* code_for(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT: return store_errc::kCorrupt;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return store_errc::kBusy;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH: return store_errc::kOpen;
    case SQLITE_CONSTRAINT:
    case SQLITE_TOOBIG:
    case SQLITE_MISMATCH:
    case SQLITE_RANGE: return store_errc::kInput;
    default: return store_errc::kIo;
  }
}

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

void raise_sqlite(sqlite3* db, int rc, std::string_view what, const std::filesystem::path& path) {
  const std::string code = code_for(rc);
  const std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  throw StoreError(code, std::string(what) + " failed for store " + quoted(path) + ": " + detail + ". " +
                             advice_for(code));
}

void raise_corrupt(const std::filesystem::path& path, const std::string& what) {
  throw StoreError(store_errc::kCorrupt, "Store " + quoted(path) + " " + what + ". " + advice_for(store_errc::kCorrupt));
}

}  // namespace vorn_datastore::sqlite

namespace vorn_datastore {

StoreError::StoreError(std::string code, const std::string& message)
    : vorn_core::BaseError(message, std::nullopt),
      vorn_core::RuntimeError(message),
      code_(code.empty() ? std::string(store_errc::kIo) : std::move(code)) {}

std::optional<std::string_view> StoreError::default_message() const noexcept {
  return "The index store failed. Check its path, permissions and free disk space, then retry.";
}

}  // namespace vorn_datastore
