// Opening a store, its pooled readers and the lookups that read one chunk.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "errors.hpp"
#include "page_index.hpp"
#include "filter_sql.hpp"
#include "row_codec.hpp"
#include "schema.hpp"
#include "store_impl.hpp"
#include "vector_stamp.hpp"
#include "vorn_core/error.hpp"
#include "vorn_core/text.hpp"

namespace vorn_datastore {

namespace fs = std::filesystem;
using sqlite::Connection;
using sqlite::quoted;
using sqlite::Stmt;

namespace {
constexpr std::size_t kMaxIdleReaders = 8;
constexpr std::size_t kMaxCachedFrequencies = 100'000;
}  // namespace

std::uint64_t chunk_content_hash(std::string_view id, std::string_view content) noexcept {
  using vorn_core::fnv1a64;
  // The separator keeps ("ab", "c") and ("a", "bc") apart.
  return fnv1a64(content, fnv1a64(std::string_view("\0", 1), fnv1a64(id)));
}

// --- Impl ---------------------------------------------------------------------

SqliteChunkStore::Impl::~Impl() {
  idle_readers.clear();
  if (!writer) return;
  try {
    index_pending_pages();
  } catch (...) {
    // They stay marked in the file; the next writer indexes them.
  }
  refresh_vector_file();
  // Fails (harmlessly, staying in WAL mode) while another process reads or
  // writes; the next writer switches back to WAL in any case.
  sqlite3_exec(writer->db(), "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
}

SqliteChunkStore::Impl::Reader::~Reader() {
  std::lock_guard lock(owner_.pool_mutex);
  if (owner_.idle_readers.size() < kMaxIdleReaders) owner_.idle_readers.push_back(std::move(c_));
}

SqliteChunkStore::Impl::Reader SqliteChunkStore::Impl::reader() {
  {
    std::lock_guard lock(pool_mutex);
    if (!idle_readers.empty()) {
      auto c = std::move(idle_readers.back());
      idle_readers.pop_back();
      return Reader(*this, std::move(c));
    }
  }
  auto c = std::make_unique<Connection>(path, reader_mode);
  sqlite::register_rank_function(*c, &doc_lengths);
  return Reader(*this, std::move(c));
}

Connection& SqliteChunkStore::Impl::require_writer(const char* action) {
  if (!writer) {
    throw StoreError(store_errc::kReadOnly, "Store " + quoted(path) + " was opened read-only. Open it without "
                                                "read_only to " + action + ".");
  }
  return *writer;
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
  if (df_cache.size() > kMaxCachedFrequencies) df_cache.clear();
  df_cache.emplace(term, df);
  return df;
}

void SqliteChunkStore::Impl::forget_document_frequencies() {
  std::lock_guard lock(df_mutex);
  df_cache.clear();
}

bool SqliteChunkStore::Impl::read_exact_vector(Connection& c, std::int64_t seq, std::span<float> out) {
  Stmt s = c.prepare("SELECT embedding FROM chunks WHERE seq = ?1");
  s.bind(1, seq);
  if (!s.step("Reading an embedding")) return false;
  const auto blob = s.blob(0);
  if (blob.size() != out.size() * sizeof(float)) {
    sqlite::raise_corrupt(path, "holds an embedding of " + std::to_string(blob.size()) + " bytes where " +
                                    std::to_string(out.size() * sizeof(float)) + " were expected");
  }
  std::memcpy(out.data(), blob.data(), blob.size());
  sqlite::to_little_endian(out);
  return true;
}

void SqliteChunkStore::Impl::load_doc_lengths(Connection& c) {
  Stmt s = c.prepare("SELECT id, sz FROM chunks_fts_docsize");
  while (s.step("Loading text statistics")) {
    const std::int64_t seq = s.int64(0);
    if (seq < 0) continue;
    const auto at = static_cast<std::size_t>(seq);
    if (at >= doc_lengths.size()) doc_lengths.resize(at + 1, 0);
    doc_lengths[at] = sqlite::varint_sum(s.blob(1));
  }
}

void SqliteChunkStore::Impl::build_metadata_index(Connection& c) {
  metadata_index.reset();
  Stmt st = c.prepare("SELECT seq, metadata FROM chunks ORDER BY seq");
  std::size_t slot = 0;
  while (slot < seqs.size() && st.step("Reading chunk metadata")) {
    // Rows written by other processes since open are not in the index.
    if (st.int64(0) != seqs[slot]) continue;
    metadata_index.add(sqlite::parse_metadata(st.text(1), path));
    ++slot;
  }
  if (slot != seqs.size()) sqlite::raise_corrupt(path, "lost chunks while it was open");
  metadata_index.mark_built();
}

void SqliteChunkStore::Impl::visit_rows(Connection& c, std::span<const RowHit> rows, const RowVisitor& visit) {
  if (rows.empty()) return;
  // One statement for all the rows: a statement per row cost about as much
  // in stepping and resetting as the lookups themselves. json_each hands
  // the rows out in their order, with their position as its key.
  std::string list = "[";
  for (const RowHit& r : rows) {
    list += std::to_string(r.row);
    list += ',';
  }
  list.back() = ']';
  Stmt s = c.prepare(
      "SELECT j.key, c.seq, c.id, c.content, c.metadata FROM json_each(?1) AS j "
      "JOIN chunks AS c ON c.seq = j.value ORDER BY j.key");
  s.bind(1, std::string_view(list));
  while (s.step("Reading chunks")) {
    const auto i = static_cast<std::size_t>(s.int64(0));
    const auto metadata = metadata_cache.shared(s.int64(1), s.text(4), path);
    visit(i, s.text(2), s.text(3), *metadata);
  }
}

std::vector<SearchHit> SqliteChunkStore::Impl::read_hits(Connection& c, std::span<const RowHit> rows) {
  std::vector<SearchHit> hits;
  hits.reserve(rows.size());
  visit_rows(c, rows, [&](std::size_t i, std::string_view id, std::string_view content, const nlohmann::json& m) {
    hits.push_back({std::string(id), std::string(content), m, rows[i].score});
  });
  return hits;
}

std::vector<SearchHit> SqliteChunkStore::read_hits(std::span<const RowHit> rows) const {
  Impl& s = impl();
  if (rows.empty()) return {};
  Impl::Reader r = s.reader();
  sqlite::ReadTransaction snapshot(*r);
  return s.read_hits(*r, rows);
}

void SqliteChunkStore::visit_rows(std::span<const RowHit> rows, const RowVisitor& visit) const {
  Impl& s = impl();
  if (rows.empty()) return;
  Impl::Reader r = s.reader();
  sqlite::ReadTransaction snapshot(*r);
  s.visit_rows(*r, rows, visit);
}

std::uint64_t SqliteChunkStore::rows_version() const {
  // Every write that adds or removes rows records a new vector stamp (drawn
  // at random per write, so two writes never share one).
  Impl::Reader r = impl().reader();
  return sqlite::read_vector_stamp(*r);
}

const sqlite::TextIndex* SqliteChunkStore::Impl::memory_text_index(Connection& c) {
  if (!options.memory_text_index) return nullptr;
  if (const auto* ready = text_index_ready.load(std::memory_order_acquire)) return ready;
  std::unique_lock lock(text_index_load_mutex, std::try_to_lock);
  if (!lock.owns_lock()) return nullptr;
  if (!text_index) text_index = std::make_unique<const sqlite::TextIndex>(sqlite::TextIndex::load(c));
  text_index_ready.store(text_index.get(), std::memory_order_release);
  return text_index.get();
}

void SqliteChunkStore::Impl::forget_text_index() noexcept {
  text_index_ready.store(nullptr, std::memory_order_release);
  std::lock_guard lock(text_index_load_mutex);
  text_index.reset();
}

// --- open ---------------------------------------------------------------------

namespace {

void check_openable(const fs::path& path, const OpenOptions& options, bool exists) {
  std::error_code ec;
  if (exists && fs::is_directory(path, ec)) {
    throw StoreError(store_errc::kOpen, "Store path " + quoted(path) +
                                            " is a directory. Pass a file path such as <dir>/store.db and retry.");
  }
  if (!exists && options.read_only) {
    throw StoreError(store_errc::kOpen, "Store " + quoted(path) +
                                            " does not exist. Check the path, or ingest documents first to create it.");
  }
  if (exists) sqlite::check_header(path);
}

// A WAL reader needs the -shm file beside the store, which it creates when
// missing; a user who may only read the file or its directory cannot. When no
// -wal file exists either, no writer is active, and the file can be read as
// immutable, which needs neither.
sqlite::OpenMode reader_mode_for(const fs::path& path) {
  std::error_code ec;
  fs::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  const bool may_write = ::access(path.c_str(), W_OK) == 0 && ::access(dir.c_str(), W_OK) == 0;
  if (may_write) return sqlite::OpenMode::read_only;
  fs::path wal = path;
  wal += "-wal";
  fs::path shm = path;
  shm += "-shm";
  if (fs::exists(wal, ec) || fs::exists(shm, ec)) return sqlite::OpenMode::read_only;
  return sqlite::OpenMode::immutable;
}

void configure_writer(Connection& c) {
  c.exec("PRAGMA journal_mode=WAL", "Enabling write-ahead logging");
  c.exec("PRAGMA synchronous=NORMAL", "Configuring durability");
  c.exec("PRAGMA cache_size=-32768", "Configuring the page cache");
}

}  // namespace

SqliteChunkStore SqliteChunkStore::open(const fs::path& path, const OpenOptions& options) {
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->options = options;

  std::error_code ec;
  check_openable(path, options, fs::exists(path, ec));

  if (options.read_only) impl->reader_mode = reader_mode_for(path);
  auto primary =
      std::make_unique<Connection>(path, options.read_only ? impl->reader_mode : sqlite::OpenMode::read_write);
  Connection& c = *primary;
  sqlite::register_rank_function(c, &impl->doc_lengths);
  if (sqlite::is_blank(c)) {
    if (options.read_only) {
      throw StoreError(store_errc::kOpen,
                       "Store " + quoted(path) + " is empty. Ingest documents to create it, or check the path.");
    }
    sqlite::create_schema(c, options.dimension);
  }
  impl->dimension = sqlite::validate_schema(c, options.dimension);

  if (!options.read_only) {
    configure_writer(c);
    // Left by a writer that stopped before indexing them.
    impl->pages_pending = sqlite::has_pending_pages(c);
    if (impl->dimension == 0 && options.dimension != 0) {
      sqlite::write_meta(c, "dimension", std::to_string(options.dimension));
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
  }
  return store;
}

SqliteChunkStore::SqliteChunkStore(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
SqliteChunkStore::SqliteChunkStore(SqliteChunkStore&&) noexcept = default;
SqliteChunkStore& SqliteChunkStore::operator=(SqliteChunkStore&&) noexcept = default;
SqliteChunkStore::~SqliteChunkStore() = default;

SqliteChunkStore::Impl& SqliteChunkStore::impl() const {
  if (!impl_) throw vorn_core::UnsupportedError("SqliteChunkStore used after it was moved from");
  return *impl_;
}

// --- lookups ------------------------------------------------------------------

std::size_t SqliteChunkStore::size() const {
  Impl& s = impl();
  std::shared_lock lock(s.vectors_mutex);
  return s.vectors.size();
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
  out.metadata = sqlite::parse_metadata(st.text(1), s.path);
  sqlite::decode_embedding(st.blob(2), out.embedding);
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

std::vector<std::optional<std::uint64_t>> SqliteChunkStore::stored_hashes(std::span<const std::string_view> ids) const {
  Impl& s = impl();
  std::vector<std::optional<std::uint64_t>> out(ids.size());
  if (ids.empty()) return out;
  Impl::Reader r = s.reader();
  // Each lookup alone would take and release the file's read locks.
  sqlite::ReadTransaction snapshot(*r);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Stmt st = r->prepare("SELECT content_hash FROM chunks WHERE id = ?1");
    st.bind(1, ids[i]);
    if (st.step("Looking up a chunk")) out[i] = static_cast<std::uint64_t>(st.int64(0));
  }
  return out;
}

std::unordered_map<std::string, std::vector<std::string>> SqliteChunkStore::ids_by_metadata(std::string_view key) const {
  Impl& s = impl();
  if (!sqlite::usable_json_key(key)) {
    throw StoreError(store_errc::kInput, "Metadata key " + sqlite::quoted_key(key) +
                                             " contains a double quote or a NUL byte, which is not supported. " +
                                             sqlite::advice_for(store_errc::kInput));
  }
  const std::string json_path = "$.\"" + std::string(key) + "\"";
  Impl::Reader r = s.reader();
  Stmt st = r->prepare("SELECT id, json_extract(metadata, ?1) FROM chunks WHERE json_type(metadata, ?1) = 'text'");
  st.bind(1, std::string_view(json_path));
  std::unordered_map<std::string, std::vector<std::string>> out;
  while (st.step("Reading chunk metadata")) out[std::string(st.text(1))].emplace_back(st.text(0));
  return out;
}

std::optional<std::string> SqliteChunkStore::index_metadata(std::string_view key) const {
  Impl& s = impl();
  Impl::Reader r = s.reader();
  return sqlite::read_meta(*r, sqlite::index_metadata_key(key));
}

std::size_t SqliteChunkStore::dimension() const { return impl().dimension.load(); }

const fs::path& SqliteChunkStore::path() const { return impl().path; }

bool SqliteChunkStore::read_only() const noexcept { return !impl_ || !impl_->writer; }

void SqliteChunkStore::check_integrity() const {
  Impl& s = impl();
  const auto corrupt = [&](const std::string& finding) {
    return StoreError(store_errc::kCorrupt, "Store " + quoted(s.path) + " failed its integrity check: " + finding +
                                                ". " + sqlite::advice_for(store_errc::kCorrupt));
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
    const auto coded = r->query_int("SELECT count(*) FROM vector_codes", "Counting chunk vectors");
    if (chunks != coded) {
      throw corrupt(std::to_string(chunks) + " chunks but " + std::to_string(coded) + " vector codes");
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
