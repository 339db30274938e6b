#include "vorn_datastore/sqlite_chunk_store.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>

#include "vorn_datastore/vector_index.hpp"
#include "vorn_core/text.hpp"

namespace vorn_datastore {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int kSchemaVersion = 1;
constexpr int kApplicationId = 0x564F524E;  // "VORN" in the SQLite header
constexpr std::string_view kAppMarker = "vorn_rag.chunk_store";
constexpr int kBusyTimeoutMs = 5000;
constexpr std::size_t kMaxQueryTerms = 32;
constexpr std::size_t kMaxIdleReaders = 8;

// --- errors -----------------------------------------------------------------

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

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

[[noreturn]] void raise_sqlite(sqlite3* db, int rc, std::string_view what, const fs::path& path) {
  const std::string code = code_for(rc);
  std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  throw StoreError(code, std::string(what) + " failed for store " + quoted(path) + ": " + detail + ". " +
                             advice_for(code));
}

// --- connections and statements ----------------------------------------------

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
  void bind_json(int i, const json& v);
  // true: a row is ready; false: done.
  bool step(std::string_view what);

  std::int64_t int64(int col) const noexcept { return sqlite3_column_int64(s_, col); }
  std::string_view text(int col) const noexcept {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
    return p == nullptr ? std::string_view{} : std::string_view(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, col)));
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

class Connection {
 public:
  Connection(const fs::path& path, bool read_only) : path_(path) {
    sqlite3* raw = nullptr;
    const int flags = (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                      SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path.string().c_str(), &raw, flags, nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK) {
      const std::string detail = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
      const std::string code = code_for(rc) == store_errc::kCorrupt ? store_errc::kCorrupt : store_errc::kOpen;
      throw StoreError(code, "Cannot open store " + quoted(path) + ": " + detail +
                                 ". Check that the directory exists and is writable, then retry.");
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  }

  sqlite3* db() const noexcept { return db_.get(); }
  const fs::path& path() const noexcept { return path_; }

  [[noreturn]] void fail(int rc, std::string_view what) const { raise_sqlite(db_.get(), rc, what, path_); }

  // Statements are cached per SQL text; the cache is bounded because filtered
  // queries generate SQL per filter shape.
  Stmt prepare(const std::string& sql) {
    auto it = cache_.find(sql);
    if (it == cache_.end()) {
      if (cache_.size() >= 64) cache_.clear();
      sqlite3_stmt* raw = nullptr;
      const int rc = sqlite3_prepare_v3(db_.get(), sql.c_str(), static_cast<int>(sql.size()),
                                        SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
      if (rc != SQLITE_OK) fail(rc, "Preparing a query");
      it = cache_.emplace(sql, StmtPtr(raw)).first;
    }
    return Stmt(*this, it->second.get());
  }

  void exec(const char* sql, std::string_view what) {
    const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(rc, what);
  }

  std::int64_t query_int(const std::string& sql, std::string_view what) {
    Stmt s = prepare(sql);
    if (!s.step(what)) return 0;
    return s.int64(0);
  }

 private:
  fs::path path_;
  DbPtr db_;
  std::unordered_map<std::string, StmtPtr> cache_;
};

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

// Begin/commit with rollback on every other exit path.
class Transaction {
 public:
  explicit Transaction(Connection& c) : c_(c) { c_.exec("BEGIN IMMEDIATE", "Starting a write transaction"); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction() {
    if (!done_) sqlite3_exec(c_.db(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    c_.exec("COMMIT", "Committing a write transaction");
    done_ = true;
  }

 private:
  Connection& c_;
  bool done_ = false;
};

// --- helpers -----------------------------------------------------------------

// Embeddings are stored as little-endian float32 whatever the host.
void to_little_endian(std::span<float> v) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    for (float& x : v) {
      auto u = std::bit_cast<std::uint32_t>(x);
      u = ((u & 0xFFU) << 24U) | ((u & 0xFF00U) << 8U) | ((u >> 8U) & 0xFF00U) | (u >> 24U);
      x = std::bit_cast<float>(u);
    }
  }
}

void decode_embedding(std::span<const std::byte> blob, std::vector<float>& out) {
  out.resize(blob.size() / sizeof(float));
  if (!blob.empty()) std::memcpy(out.data(), blob.data(), out.size() * sizeof(float));
  to_little_endian(out);  // the swap is its own inverse
}

json parse_metadata(std::string_view text, const fs::path& path) {
  json m = json::parse(text, nullptr, false);
  if (m.is_discarded() || !m.is_object()) {
    throw StoreError(store_errc::kCorrupt, "Store " + quoted(path) + " holds chunk metadata that is not a JSON object. " +
                                               advice_for(store_errc::kCorrupt));
  }
  return m;
}

void check_header(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec || size == 0) return;  // an empty file becomes a new store
  static constexpr char kMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                      'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
  char header[16] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw StoreError(store_errc::kOpen, "Cannot read store " + quoted(path) + ". Check the path and its permissions and retry.");
  }
  in.read(header, sizeof header);
  if (size < 100 || in.gcount() != sizeof header || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    throw StoreError(store_errc::kCorrupt, "Store " + quoted(path) +
                                               " is not a database (file is not a database). Pass the path of a vorn "
                                               "store, or a new path to create one.");
  }
}

// Reduces user text to plain words. Stop words match most rows and only slow
// the ranking down, so they are dropped unless nothing else is left.
std::vector<std::string> query_terms(std::string_view query) {
  std::vector<std::string> words = vorn_core::tokenize_words(query);
  const bool has_content_word = std::any_of(words.begin(), words.end(),
                                            [](const std::string& w) { return !vorn_core::is_stop_word(w); });
  std::vector<std::string> terms;
  std::unordered_set<std::string_view> seen;
  for (const std::string& w : words) {
    if (has_content_word && vorn_core::is_stop_word(w)) continue;
    if (!seen.insert(w).second) continue;
    terms.push_back(w);
    if (terms.size() == kMaxQueryTerms) break;
  }
  return terms;
}

// Quoted terms joined by OR. Quoting makes every term a string literal for
// FTS5, so operators, column filters and stray quotes in the input are inert.
std::string match_expression(const std::vector<std::string>& terms) {
  std::string expr;
  for (const std::string& term : terms) {
    if (!expr.empty()) expr += " OR ";
    expr += '"';
    for (char c : term) {
      expr += c;
      if (c == '"') expr += '"';
    }
    expr += '"';
  }
  return expr;
}

// SQL for a metadata filter plus the values to bind, starting at parameter
// `first_param`. The same condition serves BM25 and vector search, so both
// agree on what matches.
struct FilterSql {
  std::string where;
  std::vector<json> params;  // strings bind as text, numbers as numbers
};

// A key goes into a JSON path as a quoted label, which SQLite ends at the
// next '"' and at a NUL byte (the path is a C string); either would make the
// path malformed, which SQLite reports as an error nobody could act on.
bool usable_json_key(std::string_view key) noexcept {
  return key.find('"') == std::string_view::npos && key.find('\0') == std::string_view::npos;
}

// The key for a message: quoted, NUL and other control bytes escaped.
std::string quoted_key(std::string_view key) {
  std::string out = "'";
  for (const char c : key) {
    if (static_cast<unsigned char>(c) < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
      out += kHex[static_cast<unsigned char>(c) & 0xF];
    } else {
      out += c;
    }
  }
  return out + "'";
}

FilterSql build_filter_sql(const Filter& filter, int first_param) {
  FilterSql out;
  int next = first_param;
  for (const auto& [key, value] : filter) {
    if (!usable_json_key(key)) {
      throw StoreError(store_errc::kInput, "Metadata filter key " + quoted_key(key) +
                                               " contains a double quote or a NUL byte, which filters do not "
                                               "support. " + advice_for(store_errc::kInput));
    }
    const std::string p = "?" + std::to_string(next++);
    out.params.emplace_back("$.\"" + key + "\"");
    const std::string type = "json_type(c.metadata, " + p + ")";
    const std::string extract = "json_extract(c.metadata, " + p + ")";
    if (!out.where.empty()) out.where += " AND ";
    switch (value.type()) {
      case json::value_t::string: {
        const std::string v = "?" + std::to_string(next++);
        out.params.push_back(value);
        out.where += "(" + type + " = 'text' AND " + extract + " = " + v + ")";
        break;
      }
      case json::value_t::number_integer:
      case json::value_t::number_unsigned:
      case json::value_t::number_float: {
        const std::string v = "?" + std::to_string(next++);
        out.params.push_back(value);
        out.where += "(" + type + " IN ('integer', 'real') AND " + extract + " = " + v + ")";
        break;
      }
      case json::value_t::boolean:
        out.where += "(" + type + (value.get<bool>() ? " = 'true')" : " = 'false')");
        break;
      case json::value_t::null: out.where += "(" + type + " = 'null')"; break;
      case json::value_t::object:
      case json::value_t::array: {
        const std::string v = "?" + std::to_string(next++);
        // Stored metadata is nlohmann output (sorted keys, minified), and so
        // is this dump, so equal values have equal text.
        out.params.emplace_back(value.dump());
        out.where += "(" + type + (value.is_object() ? " = 'object'" : " = 'array'") + " AND " + extract +
                     " = json(" + v + "))";
        break;
      }
      default:
        throw StoreError(store_errc::kInput, "Metadata filter on '" + key + "' has an unsupported value type. " +
                                                 advice_for(store_errc::kInput));
    }
  }
  return out;
}

void bind_filter(Stmt& s, const FilterSql& f, int first_param) {
  int i = first_param;
  for (const json& v : f.params) {
    if (v.is_string()) {
      s.bind(i, std::string_view(v.get_ref<const std::string&>()));
    } else if (v.is_number_integer() && !(v.is_number_unsigned() && v.get<std::uint64_t>() > INT64_MAX)) {
      s.bind(i, v.get<std::int64_t>());
    } else {
      s.bind(i, v.get<double>());
    }
    ++i;
  }
}

// --- BM25 ranking -------------------------------------------------------------
//
// Same formula as FTS5's built-in bm25() (k1 = 1.2, b = 0.75, idf clamped to
// a tiny positive value), but document lengths come from an in-memory array
// instead of one docsize lookup per matching row, which dominated query time
// for frequent terms (about 80% of it at 100,000 chunks).

constexpr double kBm25K1 = 1.2;
constexpr double kBm25B = 0.75;

// Token count per chunks.seq; 0 means unknown (rows written by another
// process since open), which falls back to asking FTS5.
using DocLengths = std::vector<std::uint32_t>;

struct QueryStats {
  double avg_length = 1.0;
  std::vector<double> idf;
  std::vector<double> tf;  // scratch, per phrase
};

int count_rows(const Fts5ExtensionApi*, Fts5Context*, void* counter) {
  ++*static_cast<sqlite3_int64*>(counter);
  return SQLITE_OK;
}

QueryStats* query_stats(const Fts5ExtensionApi* api, Fts5Context* fts, int& rc) {
  if (auto* cached = static_cast<QueryStats*>(api->xGetAuxdata(fts, 0))) return cached;
  auto stats = std::make_unique<QueryStats>();
  sqlite3_int64 rows = 0;
  sqlite3_int64 tokens = 0;
  rc = api->xRowCount(fts, &rows);
  if (rc == SQLITE_OK) rc = api->xColumnTotalSize(fts, -1, &tokens);
  if (rc != SQLITE_OK) return nullptr;
  if (rows > 0 && tokens > 0) stats->avg_length = static_cast<double>(tokens) / static_cast<double>(rows);
  const int phrases = api->xPhraseCount(fts);
  for (int i = 0; i < phrases; ++i) {
    sqlite3_int64 hits = 0;
    rc = api->xQueryPhrase(fts, i, &hits, count_rows);
    if (rc != SQLITE_OK) return nullptr;
    double idf = std::log((static_cast<double>(rows - hits) + 0.5) / (static_cast<double>(hits) + 0.5));
    if (idf <= 0.0) idf = 1e-6;
    stats->idf.push_back(idf);
  }
  stats->tf.resize(stats->idf.size());
  QueryStats* raw = stats.release();
  rc = api->xSetAuxdata(fts, raw, [](void* p) { delete static_cast<QueryStats*>(p); });
  return rc == SQLITE_OK ? raw : nullptr;
}

void vorn_bm25(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* ctx, int, sqlite3_value**) {
  int rc = SQLITE_OK;
  QueryStats* stats = query_stats(api, fts, rc);
  if (stats == nullptr) {
    sqlite3_result_error_code(ctx, rc == SQLITE_OK ? SQLITE_NOMEM : rc);
    return;
  }
  std::fill(stats->tf.begin(), stats->tf.end(), 0.0);
  int instances = 0;
  rc = api->xInstCount(fts, &instances);
  for (int i = 0; rc == SQLITE_OK && i < instances; ++i) {
    int phrase = 0;
    int column = 0;
    int offset = 0;
    rc = api->xInst(fts, i, &phrase, &column, &offset);
    if (rc == SQLITE_OK && phrase >= 0 && static_cast<std::size_t>(phrase) < stats->tf.size()) stats->tf[phrase] += 1.0;
  }
  const auto* lengths = static_cast<const DocLengths*>(api->xUserData(fts));
  const sqlite3_int64 rowid = api->xRowid(fts);
  double length = 0.0;
  if (rowid >= 0 && static_cast<std::uint64_t>(rowid) < lengths->size() && (*lengths)[rowid] != 0) {
    length = (*lengths)[rowid];
  } else if (rc == SQLITE_OK) {
    int n = 0;
    rc = api->xColumnSize(fts, -1, &n);
    length = n;
  }
  if (rc != SQLITE_OK) {
    sqlite3_result_error_code(ctx, rc);
    return;
  }
  const double norm = kBm25K1 * (1.0 - kBm25B + kBm25B * length / stats->avg_length);
  double score = 0.0;
  for (std::size_t i = 0; i < stats->tf.size(); ++i) {
    const double tf = stats->tf[i];
    score += stats->idf[i] * (tf * (kBm25K1 + 1.0)) / (tf + norm);
  }
  sqlite3_result_double(ctx, -score);  // FTS5 convention: lower ranks first
}

void register_rank_function(Connection& c, const DocLengths* lengths) {
  fts5_api* api = nullptr;
  {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(c.db(), "SELECT fts5(?1)", -1, &raw, nullptr);
    StmtPtr owned(raw);
    if (rc == SQLITE_OK) rc = sqlite3_bind_pointer(raw, 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    if (rc == SQLITE_OK) sqlite3_step(raw);
    if (rc != SQLITE_OK) c.fail(rc, "Loading the full-text engine");
  }
  if (api == nullptr || api->iVersion < 2) {
    throw StoreError(store_errc::kOpen, "The SQLite library in use has no FTS5 support; install a SQLite build with "
                                        "FTS5 (Debian's libsqlite3 has it).");
  }
  const int rc = api->xCreateFunction(api, "vorn_bm25", const_cast<DocLengths*>(lengths), vorn_bm25, nullptr);
  if (rc != SQLITE_OK) c.fail(rc, "Registering the ranking function");
  // Per-connection view of term document frequencies (temp schema: the file
  // itself is not changed, so this also works on read-only connections).
  c.exec("CREATE VIRTUAL TABLE IF NOT EXISTS temp.chunks_vocab USING fts5vocab(main, chunks_fts, 'row')",
         "Opening the term statistics");
}

// FTS5 stores per-document token counts as SQLite varints.
std::uint32_t first_varint(std::span<const std::byte> blob) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < blob.size() && i < 9; ++i) {
    const auto b = static_cast<std::uint8_t>(blob[i]);
    if (i == 8) return static_cast<std::uint32_t>((v << 8U) | b);
    v = (v << 7U) | (b & 0x7FU);
    if ((b & 0x80U) == 0) break;
  }
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, UINT32_MAX));
}

// --- metadata filters for vector search ----------------------------------------
//
// Evaluating a filter in SQL means scanning every chunk row (content and
// embedding included), which takes hundreds of milliseconds at 100,000
// chunks. Vector search instead uses this in-memory index of top-level
// key/value pairs, built on the first filtered search and kept up to date on
// ingest. Values are interned with the same equality rules as the SQL
// filter: numbers by value, everything else by type and exact content.

std::string value_token(const json& v) {
  switch (v.type()) {
    case json::value_t::string: return "s" + v.get<std::string>();
    case json::value_t::boolean: return v.get<bool>() ? "b1" : "b0";
    case json::value_t::null: return "z";
    case json::value_t::number_integer: return "n" + std::to_string(v.get<std::int64_t>());
    case json::value_t::number_unsigned: return "n" + std::to_string(v.get<std::uint64_t>());
    case json::value_t::number_float: {
      const double d = v.get<double>();
      // 2021.0 must meet 2021, as it does in SQL.
      if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18) {
        return "n" + std::to_string(static_cast<std::int64_t>(d));
      }
      return "n" + v.dump();
    }
    default: return "j" + v.dump();
  }
}

class MetadataIndex {
 public:
  using Pair = std::pair<std::uint32_t, std::uint32_t>;  // key id, value id

  [[nodiscard]] bool built() const noexcept { return built_; }
  [[nodiscard]] std::size_t size() const noexcept { return slots_.size(); }
  void mark_built() noexcept { built_ = true; }
  void reset() noexcept {
    built_ = false;
    slots_.clear();
    keys_.clear();
    values_.clear();
  }

  void add(const json& metadata) {
    std::vector<Pair> pairs;
    if (metadata.is_object()) {
      pairs.reserve(metadata.size());
      for (const auto& [key, value] : metadata.items()) {
        pairs.emplace_back(intern(keys_, key), intern(values_, value_token(value)));
      }
      std::sort(pairs.begin(), pairs.end());
    }
    slots_.push_back(std::move(pairs));
  }

  // Drops the entries of `slots` (ascending), like VectorIndex::erase.
  void erase(std::span<const std::size_t> slots) noexcept {
    std::size_t write = 0;
    std::size_t next = 0;
    for (std::size_t read = 0; read < slots_.size(); ++read) {
      while (next < slots.size() && slots[next] < read) ++next;
      if (next < slots.size() && slots[next] == read) continue;
      if (write != read) slots_[write] = std::move(slots_[read]);
      ++write;
    }
    slots_.resize(write);
  }

  // Slots whose metadata satisfies every pair of `filter`.
  [[nodiscard]] std::vector<std::size_t> matching(const Filter& filter) const {
    std::vector<Pair> wanted;
    for (const auto& [key, value] : filter) {
      const auto k = keys_.find(key);
      const auto v = values_.find(value_token(value));
      if (k == keys_.end() || v == values_.end()) return {};  // never stored: nothing matches
      wanted.emplace_back(k->second, v->second);
    }
    std::vector<std::size_t> out;
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
      const auto& have = slots_[slot];
      const bool all = std::all_of(wanted.begin(), wanted.end(),
                                   [&](const Pair& p) { return std::binary_search(have.begin(), have.end(), p); });
      if (all) out.push_back(slot);
    }
    return out;
  }

 private:
  static std::uint32_t intern(std::unordered_map<std::string, std::uint32_t>& table, const std::string& s) {
    return table.emplace(s, static_cast<std::uint32_t>(table.size())).first->second;
  }

  bool built_ = false;
  std::vector<std::vector<Pair>> slots_;
  std::unordered_map<std::string, std::uint32_t> keys_;
  std::unordered_map<std::string, std::uint32_t> values_;
};

}  // namespace

std::uint64_t chunk_content_hash(std::string_view id, std::string_view content) noexcept {
  using vorn_core::fnv1a64;
  // The separator keeps ("ab", "c") and ("a", "bc") apart.
  return fnv1a64(content, fnv1a64(std::string_view("\0", 1), fnv1a64(id)));
}

// --- store -------------------------------------------------------------------

struct SqliteChunkStore::Impl {
  fs::path path;
  OpenOptions options;

  std::mutex write_mutex;
  std::unique_ptr<Connection> writer;  // null for a read-only store

  std::mutex pool_mutex;
  std::vector<std::unique_ptr<Connection>> idle_readers;

  mutable std::shared_mutex vectors_mutex;
  VectorIndex index;
  std::vector<std::int64_t> seqs;  // chunks.seq of each index slot, ascending
  DocLengths doc_lengths;          // FTS token count per chunks.seq, read by vorn_bm25
  MetadataIndex metadata_index;    // per slot, built on the first filtered vector search

  std::atomic<std::size_t> dimension{0};

  // Document frequency per query term, dropped whenever a batch commits.
  std::mutex df_mutex;
  std::unordered_map<std::string, std::int64_t> df_cache;
  std::int64_t document_frequency(Connection& c, const std::string& term);

  // Hands out a pooled read-only connection and takes it back afterwards.
  class Reader {
   public:
    Reader(Impl& owner, std::unique_ptr<Connection> c) : owner_(owner), c_(std::move(c)) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() {
      std::lock_guard lock(owner_.pool_mutex);
      if (owner_.idle_readers.size() < kMaxIdleReaders) owner_.idle_readers.push_back(std::move(c_));
    }
    Connection& operator*() const noexcept { return *c_; }
    Connection* operator->() const noexcept { return c_.get(); }

   private:
    Impl& owner_;
    std::unique_ptr<Connection> c_;
  };

  Reader reader() {
    {
      std::lock_guard lock(pool_mutex);
      if (!idle_readers.empty()) {
        auto c = std::move(idle_readers.back());
        idle_readers.pop_back();
        return Reader(*this, std::move(c));
      }
    }
    auto c = std::make_unique<Connection>(path, /*read_only=*/true);
    register_rank_function(*c, &doc_lengths);
    return Reader(*this, std::move(c));
  }

  void create_schema(Connection& c);
  void validate_schema(Connection& c);
  void load_vectors(Connection& c);
  void load_doc_lengths(Connection& c);
  // Requires vectors_mutex held exclusively.
  void build_metadata_index(Connection& c);
  std::vector<SearchHit> fetch_hits(const std::vector<VectorMatch>& matches, const std::vector<std::int64_t>& hit_seqs);
};

void SqliteChunkStore::Impl::create_schema(Connection& c) {
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
      "CREATE VIRTUAL TABLE chunks_fts USING fts5(content, content='chunks', content_rowid='seq',"
      "  tokenize='porter unicode61 remove_diacritics 2');",
      "Creating the store schema");
  const std::string insert_meta =
      "INSERT INTO meta(key, value) VALUES ('app', '" + std::string(kAppMarker) + "'), ('schema_version', '" +
      std::to_string(kSchemaVersion) + "'), ('dimension', '" + std::to_string(options.dimension) + "')";
  c.exec(insert_meta.c_str(), "Writing store metadata");
  c.exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str(), "Marking the store file");
  c.exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(), "Marking the store file");
  tx.commit();
}

void SqliteChunkStore::Impl::validate_schema(Connection& c) {
  const auto app_id = c.query_int("PRAGMA application_id", "Reading the store header");
  const auto tables = c.query_int("SELECT count(*) FROM sqlite_schema", "Reading the schema");
  if (app_id != kApplicationId) {
    throw StoreError(store_errc::kForeign,
                     "File " + quoted(path) + " is a SQLite database of another program (" + std::to_string(tables) +
                         " schema entries, none of them a vorn chunk store). It was not modified; pass a different "
                         "path for the store.");
  }
  std::unordered_map<std::string, std::string> meta;
  {
    sqlite3_stmt* probe = nullptr;
    // A marked file without a meta table was damaged or tampered with.
    if (sqlite3_prepare_v2(c.db(), "SELECT key, value FROM meta", -1, &probe, nullptr) != SQLITE_OK) {
      sqlite3_finalize(probe);
      throw StoreError(store_errc::kCorrupt,
                       "Store " + quoted(path) + " has no meta table. " + advice_for(store_errc::kCorrupt));
    }
    StmtPtr owned(probe);
    int rc = 0;
    while ((rc = sqlite3_step(probe)) == SQLITE_ROW) {
      meta[reinterpret_cast<const char*>(sqlite3_column_text(probe, 0))] =
          reinterpret_cast<const char*>(sqlite3_column_text(probe, 1));
    }
    if (rc != SQLITE_DONE) c.fail(rc, "Reading store metadata");
  }
  if (meta["app"] != kAppMarker) {
    throw StoreError(store_errc::kCorrupt, "Store " + quoted(path) + " has a wrong application marker. " +
                                               advice_for(store_errc::kCorrupt));
  }
  int version = 0;
  try {
    version = std::stoi(meta["schema_version"]);
  } catch (const std::exception&) {
    version = 0;
  }
  if (version > kSchemaVersion) {
    throw StoreError(store_errc::kVersion, "Store " + quoted(path) + " was written by a newer vorn (schema " +
                                               std::to_string(version) + ", this build reads " +
                                               std::to_string(kSchemaVersion) +
                                               "). Upgrade vorn, or ingest into a new store path.");
  }
  if (version < 1) {
    throw StoreError(store_errc::kCorrupt,
                     "Store " + quoted(path) + " has an invalid schema version. " + advice_for(store_errc::kCorrupt));
  }
  const auto present = c.query_int(
      "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN ('chunks', 'chunks_fts')",
      "Reading the schema");
  if (present != 2) {
    throw StoreError(store_errc::kCorrupt,
                     "Store " + quoted(path) + " is missing its chunk tables. " + advice_for(store_errc::kCorrupt));
  }

  std::size_t file_dim = 0;
  try {
    file_dim = static_cast<std::size_t>(std::stoull(meta["dimension"]));
  } catch (const std::exception&) {
    throw StoreError(store_errc::kCorrupt,
                     "Store " + quoted(path) + " has an invalid embedding dimension. " + advice_for(store_errc::kCorrupt));
  }
  if (options.dimension != 0 && file_dim != 0 && options.dimension != file_dim) {
    throw StoreError(store_errc::kDimension,
                     "Store " + quoted(path) + " holds " + std::to_string(file_dim) +
                         "-dimensional embeddings but " + std::to_string(options.dimension) +
                         " were requested. Use the embedding model the store was built with, or a new store path.");
  }
  dimension = file_dim;
}

void SqliteChunkStore::Impl::load_vectors(Connection& c) {
  const std::size_t dim = dimension.load();
  const auto rows = static_cast<std::size_t>(c.query_int("SELECT count(*) FROM chunks", "Counting chunks"));
  if (rows == 0) return;
  if (dim == 0) {
    throw StoreError(store_errc::kCorrupt, "Store " + quoted(path) +
                                               " holds chunks but no embedding dimension. " +
                                               advice_for(store_errc::kCorrupt));
  }
  index.set_dimension(dim);
  index.reserve(rows);
  seqs.reserve(rows);
  std::vector<float> row;
  Stmt s = c.prepare("SELECT seq, embedding FROM chunks ORDER BY seq");
  while (s.step("Loading embeddings")) {
    const auto blob = s.blob(1);
    if (blob.size() != dim * sizeof(float)) {
      throw StoreError(store_errc::kCorrupt, "Store " + quoted(path) + " holds an embedding of " +
                                                 std::to_string(blob.size()) + " bytes where " +
                                                 std::to_string(dim * sizeof(float)) + " were expected. " +
                                                 advice_for(store_errc::kCorrupt));
    }
    decode_embedding(blob, row);
    index.add_normalized(row);
    seqs.push_back(s.int64(0));
  }
}

std::int64_t SqliteChunkStore::Impl::document_frequency(Connection& c, const std::string& term) {
  {
    std::lock_guard lock(df_mutex);
    if (auto it = df_cache.find(term); it != df_cache.end()) return it->second;
  }
  // Counting walks the term's doclist once; the cache spares repeats.
  Stmt s = c.prepare("SELECT doc FROM temp.chunks_vocab WHERE term = ?1");
  s.bind(1, std::string_view(term));
  const std::int64_t df = s.step("Reading term statistics") ? s.int64(0) : 0;
  std::lock_guard lock(df_mutex);
  if (df_cache.size() > 100'000) df_cache.clear();
  df_cache.emplace(term, df);
  return df;
}

void SqliteChunkStore::Impl::build_metadata_index(Connection& c) {
  metadata_index.reset();
  Stmt st = c.prepare("SELECT seq, metadata FROM chunks ORDER BY seq");
  std::size_t slot = 0;
  while (slot < seqs.size() && st.step("Reading chunk metadata")) {
    // Rows written by other processes since open are not in the index.
    if (st.int64(0) != seqs[slot]) continue;
    metadata_index.add(parse_metadata(st.text(1), path));
    ++slot;
  }
  if (slot != seqs.size()) {
    throw StoreError(store_errc::kCorrupt, "Store " + quoted(path) + " lost chunks while it was open. " +
                                               advice_for(store_errc::kCorrupt));
  }
  metadata_index.mark_built();
}

void SqliteChunkStore::Impl::load_doc_lengths(Connection& c) {
  Stmt s = c.prepare("SELECT id, sz FROM chunks_fts_docsize");
  while (s.step("Loading text statistics")) {
    const std::int64_t seq = s.int64(0);
    if (seq < 0) continue;
    const auto at = static_cast<std::size_t>(seq);
    if (at >= doc_lengths.size()) doc_lengths.resize(at + 1, 0);
    doc_lengths[at] = first_varint(s.blob(1));
  }
}

std::vector<SearchHit> SqliteChunkStore::Impl::fetch_hits(const std::vector<VectorMatch>& matches,
                                                          const std::vector<std::int64_t>& hit_seqs) {
  std::vector<SearchHit> hits;
  hits.reserve(matches.size());
  Reader r = reader();
  for (std::size_t i = 0; i < matches.size(); ++i) {
    Stmt s = r->prepare("SELECT id, content, metadata FROM chunks WHERE seq = ?1");
    s.bind(1, hit_seqs[i]);
    if (!s.step("Reading a chunk")) continue;
    hits.push_back({std::string(s.text(0)), std::string(s.text(1)), parse_metadata(s.text(2), path),
                    static_cast<double>(matches[i].score)});
  }
  return hits;
}

SqliteChunkStore SqliteChunkStore::open(const fs::path& path, const OpenOptions& options) {
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->options = options;

  std::error_code ec;
  const bool exists = fs::exists(path, ec);
  if (exists && fs::is_directory(path, ec)) {
    throw StoreError(store_errc::kOpen, "Store path " + quoted(path) +
                                            " is a directory. Pass a file path such as <dir>/store.db and retry.");
  }
  if (!exists && options.read_only) {
    throw StoreError(store_errc::kOpen, "Store " + quoted(path) +
                                            " does not exist. Check the path, or ingest documents first to create it.");
  }
  if (exists) check_header(path);

  auto primary = std::make_unique<Connection>(path, options.read_only);
  Connection& c = *primary;
  register_rank_function(c, &impl->doc_lengths);
  const auto tables = c.query_int("SELECT count(*) FROM sqlite_schema", "Reading the schema");
  const auto app_id = c.query_int("PRAGMA application_id", "Reading the store header");
  if (tables == 0 && app_id == 0) {
    if (options.read_only) {
      throw StoreError(store_errc::kOpen, "Store " + quoted(path) +
                                              " is empty. Ingest documents to create it, or check the path.");
    }
    impl->create_schema(c);
  }
  impl->validate_schema(c);

  if (!options.read_only) {
    c.exec("PRAGMA journal_mode=WAL", "Enabling write-ahead logging");
    c.exec("PRAGMA synchronous=NORMAL", "Configuring durability");
    c.exec("PRAGMA cache_size=-32768", "Configuring the page cache");
    if (impl->dimension == 0 && options.dimension != 0) {
      Stmt s = c.prepare("UPDATE meta SET value = ?1 WHERE key = 'dimension'");
      const std::string dim = std::to_string(options.dimension);
      s.bind(1, std::string_view(dim));
      s.step("Recording the embedding dimension");
    }
  }
  if (impl->dimension == 0) impl->dimension = options.dimension;

  if (options.read_only) {
    impl->idle_readers.push_back(std::move(primary));
  } else {
    impl->writer = std::move(primary);
  }
  SqliteChunkStore store(std::move(impl));
  if (options.check_integrity) store.check_integrity();
  {
    Impl& s = store.impl();
    Impl::Reader r = s.reader();
    s.load_vectors(*r);
    s.load_doc_lengths(*r);
  }
  return store;
}

SqliteChunkStore::SqliteChunkStore(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
SqliteChunkStore::SqliteChunkStore(SqliteChunkStore&&) noexcept = default;
SqliteChunkStore& SqliteChunkStore::operator=(SqliteChunkStore&&) noexcept = default;
SqliteChunkStore::~SqliteChunkStore() = default;

SqliteChunkStore::Impl& SqliteChunkStore::impl() const {
  if (!impl_) throw std::logic_error("SqliteChunkStore used after it was moved from");
  return *impl_;
}

AddResult SqliteChunkStore::add_batch(const std::vector<StoredChunk>& chunks) {
  Impl& s = impl();
  if (!s.writer) {
    throw StoreError(store_errc::kReadOnly,
                     "Store " + quoted(s.path) + " was opened read-only. Open it without read_only to add chunks.");
  }
  if (chunks.empty()) return {};
  std::lock_guard write_lock(s.write_mutex);

  std::size_t dim = s.dimension.load();
  const bool sets_dimension = dim == 0;
  if (sets_dimension) dim = chunks.front().embedding.size();

  // Validate the whole batch before touching the file, so bad input never
  // costs a transaction and the error names the offending chunk.
  const auto bad_input = [&](std::size_t i, const std::string& why) {
    return StoreError(store_errc::kInput, "Chunk '" + chunks[i].id + "' (item " + std::to_string(i) +
                                              " of the batch) " + why + " Nothing from this batch was stored.");
  };
  std::vector<float> vectors(chunks.size() * dim);
  std::vector<std::string> metadata(chunks.size());
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const StoredChunk& ch = chunks[i];
    if (ch.id.empty()) throw bad_input(i, "has an empty id; give every chunk a unique id.");
    if (ch.embedding.size() != dim || dim == 0) {
      throw bad_input(i, "has an embedding of " + std::to_string(ch.embedding.size()) + " values but the store holds " +
                             std::to_string(dim) +
                             "-dimensional embeddings. Embed with the model the store was built with, or use a new "
                             "store.");
    }
    if (!std::all_of(ch.embedding.begin(), ch.embedding.end(), [](float x) { return std::isfinite(x); })) {
      throw bad_input(i, "has NaN or infinite embedding values; check the embedder output.");
    }
    std::span<float> v(vectors.data() + i * dim, dim);
    std::copy(ch.embedding.begin(), ch.embedding.end(), v.begin());
    VectorIndex::l2_normalize(v);
    if (ch.metadata.is_null()) {
      metadata[i] = "{}";
    } else if (!ch.metadata.is_object()) {
      throw bad_input(i, "has metadata that is not a JSON object.");
    } else {
      try {
        metadata[i] = ch.metadata.dump();
      } catch (const json::exception&) {
        throw bad_input(i, "has metadata with invalid UTF-8 text.");
      }
    }
  }

  Connection& c = *s.writer;
  Transaction tx(c);
  if (sets_dimension) {
    // Another process may have fixed the dimension since we opened.
    Stmt get = c.prepare("SELECT value FROM meta WHERE key = 'dimension'");
    const std::string stored = get.step("Reading the embedding dimension") ? std::string(get.text(0)) : "0";
    if (stored != "0" && stored != std::to_string(dim)) {
      throw StoreError(store_errc::kDimension, "Store " + quoted(s.path) + " now holds " + stored +
                                                   "-dimensional embeddings, not " + std::to_string(dim) +
                                                   ". Reopen the store and embed with the matching model.");
    }
    Stmt set = c.prepare("UPDATE meta SET value = ?1 WHERE key = 'dimension'");
    const std::string dim_text = std::to_string(dim);
    set.bind(1, std::string_view(dim_text));
    set.step("Recording the embedding dimension");
  }

  AddResult result;
  struct Added {
    std::int64_t seq;
    std::size_t item;
    std::uint32_t tokens;
  };
  std::vector<Added> added;
  added.reserve(chunks.size());
  std::vector<float> little_endian(dim);
  // After a removal SQLite would hand the highest removed seq out again, and
  // another process that still holds the removed chunk's vector under that
  // seq would then return the new chunk for it. Seqs continue above the
  // highest one ever removed instead.
  std::int64_t first_seq = 0;  // 0: SQLite picks
  {
    Stmt high = c.prepare("SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'seq_high_water'");
    if (high.step("Reading the chunk counter")) {
      const std::int64_t removed_max = high.int64(0);
      Stmt top = c.prepare("SELECT coalesce(max(seq), 0) FROM chunks");
      top.step("Reading the chunk counter");
      if (removed_max >= top.int64(0)) first_seq = removed_max + 1;
    }
  }
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const StoredChunk& ch = chunks[i];
    const auto hash = static_cast<std::int64_t>(chunk_content_hash(ch.id, ch.content));
    std::span<const float> v(vectors.data() + i * dim, dim);
    std::copy(v.begin(), v.end(), little_endian.begin());
    to_little_endian(little_endian);
    bool inserted = false;
    {
      Stmt ins = c.prepare(
          "INSERT INTO chunks(seq, id, content, metadata, content_hash, embedding) VALUES (?6, ?1, ?2, ?3, ?4, ?5) "
          "ON CONFLICT(id) DO NOTHING");
      ins.bind(1, std::string_view(ch.id));
      ins.bind(2, std::string_view(ch.content));
      ins.bind(3, std::string_view(metadata[i]));
      ins.bind(4, hash);
      ins.bind_blob(5, little_endian.data(), dim * sizeof(float));
      if (first_seq > 0) {
        ins.bind(6, first_seq);
      } else {
        ins.bind_null(6);
      }
      ins.step("Storing a chunk");
      inserted = sqlite3_changes(c.db()) == 1;
      if (inserted) first_seq = 0;  // later rows follow on from this one
    }
    if (inserted) {
      const std::int64_t seq = sqlite3_last_insert_rowid(c.db());
      Stmt fts = c.prepare("INSERT INTO chunks_fts(rowid, content) VALUES (?1, ?2)");
      fts.bind(1, seq);
      fts.bind(2, std::string_view(ch.content));
      fts.step("Indexing chunk text");
      Stmt size = c.prepare("SELECT sz FROM chunks_fts_docsize WHERE id = ?1");
      size.bind(1, seq);
      const std::uint32_t tokens = size.step("Reading text statistics") ? first_varint(size.blob(0)) : 0;
      added.push_back({seq, i, tokens});
      continue;
    }
    Stmt existing = c.prepare("SELECT content_hash, content FROM chunks WHERE id = ?1");
    existing.bind(1, std::string_view(ch.id));
    if (existing.step("Reading a stored chunk") && existing.int64(0) == hash && existing.text(1) == ch.content) {
      ++result.skipped;
      continue;
    }
    throw bad_input(i, "is already stored with different content. Give changed content a new id, or ingest into a "
                       "new store.");
  }

  // Room for the new vectors is made before the commit: a failed allocation
  // still rolls the transaction back, and after the commit nothing can throw,
  // so the file and the in-memory vectors never disagree.
  std::unique_lock vectors_lock(s.vectors_mutex);
  try {
    if (sets_dimension) s.index.set_dimension(dim);
    s.index.reserve(s.index.size() + added.size());
    s.seqs.reserve(s.seqs.size() + added.size());
    if (!added.empty()) {
      s.doc_lengths.reserve(std::max(static_cast<std::size_t>(added.back().seq) + 1, s.doc_lengths.size()));
    }
    tx.commit();
  } catch (...) {
    if (sets_dimension && s.index.empty()) s.index.set_dimension(0);
    throw;
  }
  for (const Added& a : added) {
    s.index.add_normalized(std::span<const float>(vectors.data() + a.item * dim, dim));
    s.seqs.push_back(a.seq);
    const auto at = static_cast<std::size_t>(a.seq);
    if (at >= s.doc_lengths.size()) s.doc_lengths.resize(at + 1, 0);
    s.doc_lengths[at] = a.tokens;
  }
  if (s.metadata_index.built()) {
    try {
      for (const Added& a : added) s.metadata_index.add(chunks[a.item].metadata);
    } catch (...) {
      s.metadata_index.reset();  // rebuilt from the file by the next filtered search
    }
  }
  if (sets_dimension) s.dimension = dim;
  if (!added.empty()) {
    std::lock_guard lock(s.df_mutex);
    s.df_cache.clear();
  }
  result.added = added.size();
  return result;
}

std::size_t SqliteChunkStore::remove(const std::vector<std::string>& ids) {
  Impl& s = impl();
  if (!s.writer) {
    throw StoreError(store_errc::kReadOnly,
                     "Store " + quoted(s.path) + " was opened read-only. Open it without read_only to remove chunks.");
  }
  if (ids.empty()) return 0;
  std::lock_guard write_lock(s.write_mutex);
  Connection& c = *s.writer;
  Transaction tx(c);
  std::vector<std::int64_t> removed;
  for (const std::string& id : ids) {
    std::int64_t seq = 0;
    std::string content;
    {
      Stmt find = c.prepare("SELECT seq, content FROM chunks WHERE id = ?1");
      find.bind(1, std::string_view(id));
      if (!find.step("Looking up a chunk")) continue;
      seq = find.int64(0);
      content = std::string(find.text(1));
    }
    {
      // An external-content FTS table forgets a row only when told its text.
      Stmt unindex = c.prepare("INSERT INTO chunks_fts(chunks_fts, rowid, content) VALUES ('delete', ?1, ?2)");
      unindex.bind(1, seq);
      unindex.bind(2, std::string_view(content));
      unindex.step("Removing chunk text from the index");
    }
    Stmt del = c.prepare("DELETE FROM chunks WHERE seq = ?1");
    del.bind(1, seq);
    del.step("Removing a chunk");
    removed.push_back(seq);
  }
  if (removed.empty()) return 0;
  {
    // See add_batch: removed seqs are never handed out again.
    std::int64_t high = *std::max_element(removed.begin(), removed.end());
    {
      Stmt old = c.prepare("SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'seq_high_water'");
      if (old.step("Reading the chunk counter")) high = std::max(high, old.int64(0));
    }
    const std::string text = std::to_string(high);
    Stmt put = c.prepare("INSERT OR REPLACE INTO meta(key, value) VALUES ('seq_high_water', ?1)");
    put.bind(1, std::string_view(text));
    put.step("Recording the chunk counter");
  }

  // The slots are found before the commit, so that nothing after it can
  // fail and leave the file and the in-memory vectors disagreeing.
  std::unique_lock vectors_lock(s.vectors_mutex);
  std::vector<std::size_t> slots;
  slots.reserve(removed.size());
  for (std::int64_t seq : removed) {
    const auto it = std::lower_bound(s.seqs.begin(), s.seqs.end(), seq);
    if (it != s.seqs.end() && *it == seq) slots.push_back(static_cast<std::size_t>(it - s.seqs.begin()));
  }
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  tx.commit();

  s.index.erase(slots);
  if (s.metadata_index.built()) s.metadata_index.erase(slots);
  std::size_t write = 0;
  std::size_t next = 0;
  for (std::size_t read = 0; read < s.seqs.size(); ++read) {
    if (next < slots.size() && slots[next] == read) {
      ++next;
      continue;
    }
    s.seqs[write++] = s.seqs[read];
  }
  s.seqs.resize(write);
  for (std::int64_t seq : removed) {
    if (static_cast<std::size_t>(seq) < s.doc_lengths.size()) s.doc_lengths[static_cast<std::size_t>(seq)] = 0;
  }
  {
    std::lock_guard lock(s.df_mutex);
    s.df_cache.clear();
  }
  return removed.size();
}

std::unordered_map<std::string, std::vector<std::string>> SqliteChunkStore::ids_by_metadata(std::string_view key) const {
  Impl& s = impl();
  if (!usable_json_key(key)) {
    throw StoreError(store_errc::kInput, "Metadata key " + quoted_key(key) +
                                             " contains a double quote or a NUL byte, which is not supported. " +
                                             advice_for(store_errc::kInput));
  }
  const std::string path = "$.\"" + std::string(key) + "\"";
  Impl::Reader r = s.reader();
  Stmt st = r->prepare("SELECT id, json_extract(metadata, ?1) FROM chunks WHERE json_type(metadata, ?1) = 'text'");
  st.bind(1, std::string_view(path));
  std::unordered_map<std::string, std::vector<std::string>> out;
  while (st.step("Reading chunk metadata")) out[std::string(st.text(1))].emplace_back(st.text(0));
  return out;
}

std::vector<SearchHit> SqliteChunkStore::search_bm25(std::string_view query, std::size_t top_k,
                                                     const Filter& filter) const {
  Impl& s = impl();
  if (top_k == 0) return {};
  const std::vector<std::string> terms = query_terms(query);
  if (terms.empty()) return {};
  const auto limit = static_cast<std::int64_t>(std::min<std::size_t>(top_k, INT64_MAX));

  std::string sql;
  FilterSql f;
  if (filter.empty()) {
    // Rank inside FTS first, then join only the top rows.
    sql =
        "SELECT c.id, c.content, c.metadata, r.score FROM "
        "(SELECT rowid AS seq, vorn_bm25(chunks_fts) AS score FROM chunks_fts WHERE chunks_fts MATCH ?1 "
        " ORDER BY score, rowid LIMIT ?2) AS r "
        "JOIN chunks AS c ON c.seq = r.seq ORDER BY r.score, r.seq";
  } else {
    f = build_filter_sql(filter, 3);
    sql =
        "SELECT c.id, c.content, c.metadata, vorn_bm25(chunks_fts) AS score FROM chunks_fts "
        "JOIN chunks AS c ON c.seq = chunks_fts.rowid WHERE chunks_fts MATCH ?1 AND " +
        f.where + " ORDER BY score, c.seq LIMIT ?2";
  }

  Impl::Reader r = s.reader();
  // vorn_bm25 reads doc_lengths while the statement steps.
  std::shared_lock lengths_lock(s.vectors_mutex);
  const auto run = [&](const std::vector<std::string>& use) {
    const std::string match = match_expression(use);
    Stmt st = r->prepare(sql);
    st.bind(1, std::string_view(match));
    st.bind(2, limit);
    bind_filter(st, f, 3);
    std::vector<SearchHit> hits;
    while (st.step("Searching chunk text")) {
      hits.push_back({std::string(st.text(0)), std::string(st.text(1)), parse_metadata(st.text(2), s.path),
                      -st.real(3)});
    }
    return hits;
  };

  // A term in half the chunks or more gets an idf of ~1e-6 from BM25, so it
  // cannot change the order among chunks that match a rarer term, yet
  // ranking its matches costs the most. Search without such terms first and
  // only fall back to the full query when that leaves too few hits.
  const auto rows = static_cast<std::int64_t>(s.index.size());
  if (terms.size() > 1 && rows > 0) {
    std::vector<std::string> informative;
    for (const std::string& t : terms) {
      if (2 * s.document_frequency(*r, t) < rows) informative.push_back(t);
    }
    if (!informative.empty() && informative.size() < terms.size()) {
      std::vector<SearchHit> hits = run(informative);
      if (hits.size() >= top_k) return hits;
    }
  }
  return run(terms);
}

std::vector<SearchHit> SqliteChunkStore::search_vector(std::span<const float> query, std::size_t top_k,
                                                       const Filter& filter, std::optional<double> min_score) const {
  Impl& s = impl();
  if (top_k == 0) return {};
  if (!std::all_of(query.begin(), query.end(), [](float x) { return std::isfinite(x); })) {
    throw StoreError(store_errc::kInput, "The query embedding contains NaN or infinite values. Check the embedder output.");
  }
  if (!filter.empty()) (void)build_filter_sql(filter, 1);  // same validation and errors as BM25
  std::optional<float> floor;
  if (min_score) floor = static_cast<float>(*min_score);

  std::vector<VectorMatch> matches;
  std::vector<std::int64_t> hit_seqs;
  for (;;) {
    if (!filter.empty()) {
      // Built once under the exclusive lock; a failed ingest may reset it.
      bool ready = false;
      {
        std::shared_lock lock(s.vectors_mutex);
        ready = s.metadata_index.built();
      }
      if (!ready) {
        Impl::Reader r = s.reader();
        std::unique_lock lock(s.vectors_mutex);
        if (!s.metadata_index.built()) s.build_metadata_index(*r);
      }
    }
    std::shared_lock lock(s.vectors_mutex);
    if (!filter.empty() && !s.metadata_index.built()) continue;
    if (s.index.empty()) return {};
    if (query.size() != s.index.dimension()) {
      throw StoreError(store_errc::kInput, "The query embedding has " + std::to_string(query.size()) +
                                               " values but the store holds " +
                                               std::to_string(s.index.dimension()) +
                                               "-dimensional embeddings. Embed the query with the model used for "
                                               "ingestion.");
    }
    if (filter.empty()) {
      matches = s.index.search(query, top_k, floor);
    } else {
      matches = s.index.search_subset(query, s.metadata_index.matching(filter), top_k, floor);
    }
    hit_seqs.reserve(matches.size());
    for (const VectorMatch& m : matches) hit_seqs.push_back(s.seqs[m.slot]);
    break;
  }
  return s.fetch_hits(matches, hit_seqs);
}

std::size_t SqliteChunkStore::size() const {
  Impl& s = impl();
  std::shared_lock lock(s.vectors_mutex);
  return s.index.size();
}

bool SqliteChunkStore::contains(std::string_view id) const {
  Impl& s = impl();
  Impl::Reader r = s.reader();
  Stmt st = r->prepare("SELECT 1 FROM chunks WHERE id = ?1");
  st.bind(1, id);
  return st.step("Looking up a chunk");
}

std::optional<StoredChunk> SqliteChunkStore::get(std::string_view id) const {
  Impl& s = impl();
  Impl::Reader r = s.reader();
  Stmt st = r->prepare("SELECT content, metadata, embedding FROM chunks WHERE id = ?1");
  st.bind(1, id);
  if (!st.step("Reading a chunk")) return std::nullopt;
  StoredChunk out;
  out.id = std::string(id);
  out.content = std::string(st.text(0));
  out.metadata = parse_metadata(st.text(1), s.path);
  decode_embedding(st.blob(2), out.embedding);
  return out;
}

std::optional<std::uint64_t> SqliteChunkStore::stored_hash(std::string_view id) const {
  Impl& s = impl();
  Impl::Reader r = s.reader();
  Stmt st = r->prepare("SELECT content_hash FROM chunks WHERE id = ?1");
  st.bind(1, id);
  if (!st.step("Looking up a chunk")) return std::nullopt;
  return static_cast<std::uint64_t>(st.int64(0));
}

std::size_t SqliteChunkStore::dimension() const { return impl().dimension.load(); }

const fs::path& SqliteChunkStore::path() const { return impl().path; }

void SqliteChunkStore::check_integrity() const {
  Impl& s = impl();
  const auto corrupt = [&](const std::string& finding) {
    return StoreError(store_errc::kCorrupt,
                      "Store " + quoted(s.path) + " failed its integrity check: " + finding + ". " +
                          advice_for(store_errc::kCorrupt));
  };
  {
    Impl::Reader r = s.reader();
    Stmt st = r->prepare("PRAGMA quick_check");
    std::string findings;
    while (st.step("Checking store integrity")) {
      if (st.text(0) == "ok") continue;
      if (!findings.empty()) findings += "; ";
      findings += st.text(0);
      if (findings.size() > 400) break;
    }
    if (!findings.empty()) throw corrupt(findings);
    const auto chunks = r->query_int("SELECT count(*) FROM chunks", "Counting chunks");
    const auto indexed = r->query_int("SELECT count(*) FROM chunks_fts_docsize", "Counting indexed chunks");
    if (chunks != indexed) {
      throw corrupt(std::to_string(chunks) + " chunks but " + std::to_string(indexed) + " in the text index");
    }
  }
  if (s.writer) {
    // The FTS5 check is spelled as an INSERT, so it needs the write connection.
    std::lock_guard lock(s.write_mutex);
    const int rc = sqlite3_exec(s.writer->db(), "INSERT INTO chunks_fts(chunks_fts) VALUES ('integrity-check')",
                                nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      if ((rc & 0xFF) == SQLITE_CORRUPT) throw corrupt(std::string("text index: ") + sqlite3_errmsg(s.writer->db()));
      s.writer->fail(rc, "Checking the text index");
    }
  }
}

}  // namespace vorn_datastore
