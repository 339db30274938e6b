// How SQLite failures become StoreErrors: a stable code from the result
// code, the store's path, SQLite's own text and what the user can do.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

struct sqlite3;

namespace vorn_datastore::sqlite {

// The sentence that ends a message of this code.
const char* advice_for(std::string_view code);

// The store_errc code for a SQLite (extended) result code.
const char* code_for(int rc);

// "'<path>'", as messages show paths.
std::string quoted(const std::filesystem::path& path);

// Throws StoreError for `rc`, naming the failed operation `what`; the detail
// comes from `db` when there is one.
[[noreturn]] void raise_sqlite(sqlite3* db, int rc, std::string_view what, const std::filesystem::path& path);

// "Store '<path>' <what>. <advice for kCorrupt>" as a StoreError(kCorrupt).
[[noreturn]] void raise_corrupt(const std::filesystem::path& path, const std::string& what);

}  // namespace vorn_datastore::sqlite
