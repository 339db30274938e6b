// The store's file layout: creating it, recognising it, and the facts kept in
// its meta table (format version, embedding dimension, index metadata).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorn_datastore::sqlite {

class Connection;

// "VORN" in the SQLite header.
inline constexpr int kApplicationId = 0x564F524E;

// Throws StoreError(kCorrupt) for a non-empty file that is not a SQLite
// database, before SQLite itself is asked to open it.
void check_header(const std::filesystem::path& path);

// True for a database without any schema and without our mark: a new file.
bool is_blank(Connection& c);

// Creates the tables in one transaction, unless another process did first.
void create_schema(Connection& c, std::size_t dimension);

// Checks that `c` holds a store this build reads and returns the embedding
// dimension recorded in it (0 when none yet). Throws StoreError: kForeign,
// kCorrupt, kVersion (another format: rebuild), kDimension (when
// `requested_dimension` is set and differs).
std::size_t validate_schema(Connection& c, std::size_t requested_dimension);

// The meta row `key`, if present.
std::optional<std::string> read_meta(Connection& c, std::string_view key);
// Inserts or replaces the meta row; the caller holds a write transaction or
// accepts an autocommit of its own.
void write_meta(Connection& c, std::string_view key, std::string_view value);

// The meta key under which index metadata `key` is kept; index metadata and
// the store's own rows never collide.
std::string index_metadata_key(std::string_view key);

}  // namespace vorn_datastore::sqlite
