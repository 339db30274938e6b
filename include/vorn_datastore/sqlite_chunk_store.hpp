#pragma once

// Persistent chunk store: one SQLite file holding chunk text, JSON metadata,
// an FTS5 index for BM25 and float32 embeddings with a compact int8 code of
// each. Exact vector search scans the codes (a quarter of the embeddings'
// size) and reads the float embeddings of the few rows that can make the
// result, keeping those for later searches. A copy of the codes laid out for
// reading in place sits beside the file ("<path>-vectors"): opening maps it
// instead of reading the codes, when it matches the file's last vector
// write; a writer that closes the store rewrites it when it does not. It is
// only a cache: without it (or with a stale or damaged one) the store reads
// the codes from the file, with the same results.
//
// Thread safety: every const member may be called from any number of threads
// at once. Searches use pooled read-only connections (WAL lets them run while
// a batch is being written) and a shared lock on the in-memory vectors.
// add_batch serialises with other add_batch calls and briefly takes the
// vectors exclusively at commit time. Several processes may open the same file;
// the vector copy of each process only sees batches written before it opened
// or written by itself.
//
// Crash safety: each add_batch is one SQLite transaction, and the in-memory
// vector codes are rebuilt from the file at open, so after a crash a reopened store
// holds exactly the batches that committed.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "vorn_datastore/row_hit.hpp"
#include "vorn_datastore/store_error.hpp"

namespace vorn_datastore {

// The layout of what a store file holds, including how its text is cut into
// search terms. A file of another format version is refused at open with
// StoreError(kVersion) and a message saying to rebuild it; raise this
// whenever stored data would be read differently.
// 3: Snowball terms, title and heading columns; 4: vector codes; 5: a stamp
// per vector write, which a build that does not record it would leave
// unchanged and so let a stale vector file pass for current; 6: page term
// counts.
inline constexpr int kIndexFormatVersion = 6;

struct StoredChunk {
  std::string id;
  std::string content;
  nlohmann::json metadata = nlohmann::json::object();
  std::vector<float> embedding;  // stored L2-normalised
};

struct SearchHit {
  std::string id;
  std::string content;
  nlohmann::json metadata;
  double score = 0.0;  // higher is better; BM25 relevance or cosine similarity
};

struct AddResult {
  std::size_t added = 0;
  std::size_t skipped = 0;  // already stored with the same id and content
};

// Equality on top-level metadata keys; every pair must match and a missing
// key never matches. Numbers compare by value (1 == 1.0), other types must
// match exactly. Keys must not contain '"'.
using Filter = std::vector<std::pair<std::string, nlohmann::json>>;

struct OpenOptions {
  // 0: take it from the file, or from the first batch for a new store.
  std::size_t dimension = 0;
  bool read_only = false;
  // Full PRAGMA quick_check plus an FTS consistency check. It reads the whole
  // file, so it is off by default; open always checks the header and schema.
  bool check_integrity = false;
  // Keep a copy of the full-text index in memory, read from the file by the
  // first unfiltered BM25 search (roughly 8 bytes per distinct term of each
  // chunk), and rank from it: the same hits and scores, several times
  // faster. Like the vectors, the copy sees the batches written before it
  // was read or by this store; rows other processes write later are found
  // after reopening. For processes that answer many searches (a server),
  // not for one-shot commands, which would pay the read for one search.
  bool memory_text_index = false;
};

class SqliteChunkStore {
 public:
  // Opens or creates the store at `path`. Throws StoreError.
  static SqliteChunkStore open(const std::filesystem::path& path, const OpenOptions& options = {});

  SqliteChunkStore(SqliteChunkStore&&) noexcept;
  SqliteChunkStore& operator=(SqliteChunkStore&&) noexcept;
  SqliteChunkStore(const SqliteChunkStore&) = delete;
  SqliteChunkStore& operator=(const SqliteChunkStore&) = delete;
  ~SqliteChunkStore();

  // All or nothing. A chunk whose id and content are already stored is
  // skipped (its metadata is not updated); an id stored with different
  // content is an error. Every embedding must have dimension() values (the
  // first batch of a new store fixes the dimension).
  AddResult add_batch(const std::vector<StoredChunk>& chunks);

  // Removes the chunks with these ids as one transaction; ids that are not
  // stored are ignored. Returns how many chunks were removed. Other processes
  // that have the store open keep their in-memory vectors until they reopen
  // it, but never return a removed chunk.
  std::size_t remove(const std::vector<std::string>& ids);

  // Ids of the chunks whose top-level metadata `key` holds a string, grouped
  // by that string; one pass over the file. Keys must not contain '"'.
  [[nodiscard]] std::unordered_map<std::string, std::vector<std::string>> ids_by_metadata(std::string_view key) const;

  // BM25 (FTS5 formula) over the chunk text, its heading path and its
  // page's title and summary (metadata "heading", "title", "summary"; terms
  // there count more), as vorn_core::search_terms: Snowball stems with
  // diacritics folded, code-like tokens also whole. The query is reduced to
  // such terms OR-ed together, so any user text is safe; no words means no
  // hits. English stop words are dropped when
  // other words remain, and so are words found in half the chunks or more
  // (BM25 gives them an idf of ~0) unless that leaves fewer than top_k hits.
  // Score: positive, higher is better.
  [[nodiscard]] std::vector<SearchHit> search_bm25(std::string_view query, std::size_t top_k,
                                                   const Filter& filter = {}) const;

  // BM25 of each of `sources` as a whole page: one document per source page
  // holding its title and summary, its section headings and the text of all
  // its chunks, so that question words found in different chunks of a page
  // count together. The query is reduced to terms as for search_bm25; a
  // word's rarity is its rarity among chunks, and words in half the chunks
  // or more are left out. 0 for a page that holds none of the words or that
  // the store does not know (chunks without a string "source" belong to no
  // page). Only the given pages are read, so this is cheap for a handful.
  [[nodiscard]] std::vector<double> score_pages(std::string_view query, const std::vector<std::string>& sources) const;
  // Exact cosine similarity: the same hits and scores as comparing the query
  // with every stored embedding (see the class comment). A zero query or an
  // empty store gives no hits. The first filtered call builds an in-memory
  // index of top-level metadata (one pass over the file).
  [[nodiscard]] std::vector<SearchHit> search_vector(std::span<const float> query, std::size_t top_k,
                                                     const Filter& filter = {},
                                                     std::optional<double> min_score = {}) const;

  // search_bm25 and search_vector without reading the chunks: the rows and
  // scores of the same hits, in the same order, with the same errors. A
  // row another process removed since this store read its in-memory copies
  // may be among them (read_hits and visit_rows skip it).
  [[nodiscard]] std::vector<RowHit> rank_bm25(std::string_view query, std::size_t top_k,
                                              const Filter& filter = {}) const;
  [[nodiscard]] std::vector<RowHit> rank_vector(std::span<const float> query, std::size_t top_k,
                                                const Filter& filter = {},
                                                std::optional<double> min_score = {}) const;
  // The chunks of `rows`, in order, each with its hit's score; rows no
  // longer stored are skipped.
  [[nodiscard]] std::vector<SearchHit> read_hits(std::span<const RowHit> rows) const;
  // Shows each stored row of `rows`, in order, to `visit` with its index in
  // `rows`, its id, text and metadata: views that are valid only during the
  // call, so nothing is copied. Rows no longer stored are skipped.
  using RowVisitor = std::function<void(std::size_t index, std::string_view id, std::string_view content,
                                        const nlohmann::json& metadata)>;
  void visit_rows(std::span<const RowHit> rows, const RowVisitor& visit) const;
  // Changes with every write that adds or removes chunks, whichever process
  // makes it, and only then: rows are never changed in place and their
  // numbers never handed out again, so while it reads the same every row
  // seen since is still stored as it was. One small read of the file.
  [[nodiscard]] std::uint64_t rows_version() const;

  [[nodiscard]] std::size_t size() const;
  [[nodiscard]] bool contains(std::string_view id) const;
  [[nodiscard]] std::optional<StoredChunk> get(std::string_view id) const;
  // The chunk_content_hash stored with `id`, without reading the chunk; lets
  // a caller skip embedding text that is already stored.
  [[nodiscard]] std::optional<std::uint64_t> stored_hash(std::string_view id) const;
  // stored_hash of each of `ids`, in order, read in one transaction.
  [[nodiscard]] std::vector<std::optional<std::uint64_t>> stored_hashes(std::span<const std::string_view> ids) const;
  // Facts about the whole index (the embedding model it was built with, the
  // tokenizer version, ...) as key/value text kept in the file. Keys are
  // free-form and separate from the store's own bookkeeping. Setting a key
  // replaces its value (an empty value removes the key), as one transaction; StoreError(kReadOnly) on a
  // read-only store, kInput for an empty key.
  [[nodiscard]] std::optional<std::string> index_metadata(std::string_view key) const;
  void set_index_metadata(std::string_view key, std::string_view value);
  // Several keys as one transaction, each as above; nothing is written when
  // one of them is refused.
  void set_index_metadata_many(const std::vector<std::pair<std::string, std::string>>& entries);

  // 0 until the first batch of a new store.
  [[nodiscard]] std::size_t dimension() const;
  [[nodiscard]] const std::filesystem::path& path() const;
  [[nodiscard]] bool read_only() const noexcept;

  // PRAGMA quick_check plus the FTS index consistency check; throws
  // StoreError(kCorrupt) on any finding.
  void check_integrity() const;

  // Reads now what the first search would otherwise read on its own time
  // (the in-memory text index, with OpenOptions::memory_text_index), so
  // that no request of a starting service pays for it. Throws StoreError.
  void warm_up() const;

 private:
  struct Impl;
  explicit SqliteChunkStore(std::unique_ptr<Impl> impl) noexcept;
  Impl& impl() const;

  std::unique_ptr<Impl> impl_;
};

// Stable 64-bit FNV-1a over the id and the content, stored with each chunk.
std::uint64_t chunk_content_hash(std::string_view id, std::string_view content) noexcept;

}  // namespace vorn_datastore
