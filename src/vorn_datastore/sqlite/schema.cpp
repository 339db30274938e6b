#include "schema.hpp"

#include <cstring>
#include <fstream>
#include <unordered_map>

#include "connection.hpp"
#include "errors.hpp"
#include "fts_tokenizer.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace vorn_datastore::sqlite {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kAppMarker = "vorn_rag.chunk_store";
constexpr std::string_view kIndexMetadataPrefix = "index.";

std::string rebuild_advice(const fs::path& path) {
  return "Rebuild the index: remove " + quoted(path) + " and index the documents again (or index them into a new path).";
}

std::unordered_map<std::string, std::string> read_all_meta(Connection& c) {
  std::unordered_map<std::string, std::string> meta;
  sqlite3_stmt* probe = nullptr;
  // A marked file without a meta table was damaged or tampered with.
  if (sqlite3_prepare_v2(c.db(), "SELECT key, value FROM meta", -1, &probe, nullptr) != SQLITE_OK) {
    sqlite3_finalize(probe);
    raise_corrupt(c.path(), "has no meta table");
  }
  StmtPtr owned(probe);
  int rc = 0;
  while ((rc = sqlite3_step(probe)) == SQLITE_ROW) {
    const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(probe, 0));
    const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(probe, 1));
    if (key != nullptr && value != nullptr) meta[key] = value;
  }
  if (rc != SQLITE_DONE) c.fail(rc, "Reading store metadata");
  return meta;
}

void check_format_version(const std::string& text, const fs::path& path) {
  int version = 0;
  try {
    std::size_t used = 0;
    version = std::stoi(text, &used);
    if (used != text.size()) version = -1;
  } catch (const std::exception&) {
    version = -1;
  }
  if (version < 0) raise_corrupt(path, "has an invalid format version");
  const std::string versions = " (format " + std::to_string(version) + "; this build reads format " +
                               std::to_string(kIndexFormatVersion) + "). ";
  if (version > kIndexFormatVersion) {
    throw StoreError(store_errc::kVersion, "Store " + quoted(path) + " was written by a newer vorn" + versions +
                                               "Upgrade vorn, or " + rebuild_advice(path));
  }
  if (version < kIndexFormatVersion) {
    throw StoreError(store_errc::kVersion,
                     "Store " + quoted(path) + " was written by an older vorn" + versions + rebuild_advice(path));
  }
}

std::size_t parse_dimension(const std::string& text, const fs::path& path) {
  try {
    return static_cast<std::size_t>(std::stoull(text));
  } catch (const std::exception&) {
    raise_corrupt(path, "has an invalid embedding dimension");
  }
}

}  // namespace

void check_header(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec || size == 0) return;  // an empty file becomes a new store
  static constexpr char kMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                      'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
  char header[16] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw StoreError(store_errc::kOpen,
                     "Cannot read store " + quoted(path) + ". Check the path and its permissions and retry.");
  }
  in.read(header, sizeof header);
  if (size < 100 || in.gcount() != sizeof header || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    throw StoreError(store_errc::kCorrupt, "Store " + quoted(path) +
                                               " is not a database (file is not a database). Pass the path of a vorn "
                                               "store, or a new path to create one.");
  }
}

bool is_blank(Connection& c) {
  const auto tables = c.query_int("SELECT count(*) FROM sqlite_schema", "Reading the schema");
  const auto app_id = c.query_int("PRAGMA application_id", "Reading the store header");
  return tables == 0 && app_id == 0;
}

void create_schema(Connection& c, std::size_t dimension) {
  // journal_mode cannot change inside a transaction.
  c.exec("PRAGMA journal_mode=WAL", "Enabling write-ahead logging");
  Transaction tx(c);
  // Another process may have created the schema while we waited for the lock.
  if (c.query_int("SELECT count(*) FROM sqlite_schema", "Reading the schema") != 0) return;
  c.exec(
      "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
      "CREATE TABLE chunks("
      "  seq INTEGER PRIMARY KEY,"
      "  id TEXT NOT NULL UNIQUE,"
      "  content TEXT NOT NULL,"
      "  metadata TEXT NOT NULL DEFAULT '{}',"
      "  content_hash INTEGER NOT NULL,"
      "  embedding BLOB NOT NULL);"
      // A narrow table of compact vector codes, read whole at open while
      // the exact vectors above are read only for the rows a search needs.
      "CREATE TABLE vector_codes(seq INTEGER PRIMARY KEY, code BLOB NOT NULL);"
      // Contentless: the text lives in chunks (and the title and heading
      // in its metadata); the index only needs the terms.
      "CREATE VIRTUAL TABLE chunks_fts USING fts5(title, heading, content, content='', tokenize='vorn');"
      // Term counts per source page, rebuilt from its chunks (see
      // page_index.hpp); the expression index finds a page's chunks.
      "CREATE TABLE pages(page INTEGER PRIMARY KEY, source TEXT NOT NULL UNIQUE, length REAL NOT NULL, "
      "  terms BLOB NOT NULL);"
      "CREATE TABLE pages_pending(source TEXT PRIMARY KEY) WITHOUT ROWID;"
      "CREATE INDEX chunks_by_source ON chunks(json_extract(metadata, '$.source'));",
      "Creating the store schema");
  write_meta(c, "app", kAppMarker);
  write_meta(c, "schema_version", std::to_string(kIndexFormatVersion));
  write_meta(c, "dimension", std::to_string(dimension));
  write_meta(c, index_metadata_key("tokenizer"), kTokenizerVersion);
  c.exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str(), "Marking the store file");
  c.exec(("PRAGMA user_version=" + std::to_string(kIndexFormatVersion)).c_str(), "Marking the store file");
  tx.commit();
}

std::size_t validate_schema(Connection& c, std::size_t requested_dimension) {
  const fs::path& path = c.path();
  const auto app_id = c.query_int("PRAGMA application_id", "Reading the store header");
  const auto tables = c.query_int("SELECT count(*) FROM sqlite_schema", "Reading the schema");
  if (app_id != kApplicationId) {
    throw StoreError(store_errc::kForeign,
                     "File " + quoted(path) + " is a SQLite database of another program (" + std::to_string(tables) +
                         " schema entries, none of them a vorn chunk store). It was not modified; pass a different "
                         "path for the store.");
  }
  auto meta = read_all_meta(c);
  if (meta["app"] != kAppMarker) raise_corrupt(path, "has a wrong application marker");
  check_format_version(meta["schema_version"], path);
  // Terms of another tokenizer would be silently misread by this one's queries.
  if (meta[index_metadata_key("tokenizer")] != kTokenizerVersion) {
    throw StoreError(store_errc::kVersion, "Store " + quoted(path) + " indexes its text with another tokenizer (" +
                                               (meta[index_metadata_key("tokenizer")].empty()
                                                    ? std::string("an older one")
                                                    : meta[index_metadata_key("tokenizer")]) +
                                               "; this build uses " + std::string(kTokenizerVersion) + "). " +
                                               rebuild_advice(path));
  }
  const auto present = c.query_int(
      "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN ('chunks', 'chunks_fts', 'vector_codes', 'pages', "
      "'pages_pending')",
      "Reading the schema");
  if (present != 5) raise_corrupt(path, "is missing its chunk tables");

  const std::size_t file_dim = parse_dimension(meta["dimension"], path);
  if (requested_dimension != 0 && file_dim != 0 && requested_dimension != file_dim) {
    throw StoreError(store_errc::kDimension,
                     "Store " + quoted(path) + " holds " + std::to_string(file_dim) + "-dimensional embeddings but " +
                         std::to_string(requested_dimension) +
                         " were requested. Use the embedding model the store was built with, or a new store path.");
  }
  return file_dim;
}

std::optional<std::string> read_meta(Connection& c, std::string_view key) {
  Stmt s = c.prepare("SELECT value FROM meta WHERE key = ?1");
  s.bind(1, key);
  if (!s.step("Reading store metadata")) return std::nullopt;
  return std::string(s.text(0));
}

void write_meta(Connection& c, std::string_view key, std::string_view value) {
  Stmt s = c.prepare("INSERT OR REPLACE INTO meta(key, value) VALUES (?1, ?2)");
  s.bind(1, key);
  s.bind(2, value);
  s.step("Writing store metadata");
}

std::string index_metadata_key(std::string_view key) {
  return std::string(kIndexMetadataPrefix) + std::string(key);
}

}  // namespace vorn_datastore::sqlite
