// The state behind a SqliteChunkStore, shared by the files that implement its
// opening, searching and writing.
//
// Locks, in the order they may be taken: write_mutex, then vectors_mutex,
// then the exact-row fill lock inside `vectors`, then df_mutex,
// text_index_load_mutex, page_stats_mutex or pool_mutex. Readers hold
// write_mutex only to index this store's own pending pages, before any
// other lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "bm25_rank.hpp"
#include "connection.hpp"
#include "metadata_cache.hpp"
#include "metadata_index.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
#include "stored_vectors.hpp"
#include "text_index.hpp"
#include "vector_file.hpp"
#include "vorn_datastore/vector_index.hpp"

namespace vorn_datastore {

struct SqliteChunkStore::Impl {
  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  // Leaves a written file in rollback-journal mode when no other connection
  // has it open: readers of such a file need no -shm/-wal beside it, so they
  // work where they may not write and leave nothing behind.
  ~Impl();

  std::filesystem::path path;
  OpenOptions options;
  // How pooled readers open the file (read_only, or immutable when the
  // directory cannot hold the files a WAL reader needs).
  sqlite::OpenMode reader_mode = sqlite::OpenMode::read_only;

  std::mutex write_mutex;
  std::unique_ptr<sqlite::Connection> writer;  // null for a read-only store

  std::mutex pool_mutex;
  std::vector<std::unique_ptr<sqlite::Connection>> idle_readers;

  mutable std::shared_mutex vectors_mutex;
  sqlite::StoredVectors vectors;
  std::vector<std::int64_t> seqs;   // chunks.seq of each vector slot, ascending
  sqlite::DocLengths doc_lengths;   // FTS token count per chunks.seq, read by vorn_bm25
  // Whether doc_lengths holds every row read at some point (it is read by
  // the first search that ranks many rows, not at open); until then only
  // the rows this store wrote.
  std::atomic<bool> doc_lengths_complete{false};
  sqlite::MetadataIndex metadata_index;  // per slot, built on the first filtered vector search

  sqlite::MetadataCache metadata_cache;  // of the chunks searches return

  std::atomic<std::size_t> dimension{0};
  sqlite::VectorFileStatus vector_file_status = sqlite::VectorFileStatus::missing;  // as found at open

  // Whether the file may hold pages waiting to be indexed (see page_index.hpp).
  std::atomic<bool> pages_pending{false};
  // Indexes them, when this store writes; takes write_mutex.
  void index_pending_pages();
  // Mean page length, read once and forgotten when this store indexes pages.
  std::mutex page_stats_mutex;
  double mean_page_length = 0.0;  // 0: not read yet
  double page_length_mean(sqlite::Connection& c);
  void forget_page_stats();

  // Document frequency per query term, dropped whenever a batch commits.
  std::mutex df_mutex;
  std::unordered_map<std::string, std::int64_t> df_cache;
  std::int64_t document_frequency(sqlite::Connection& c, const std::string& term);
  void forget_document_frequencies();

  // The in-memory copy of the text index (OpenOptions::memory_text_index).
  // Published once loaded; dropped only with vectors_mutex held exclusively,
  // so a search holding it shared may use the pointer until it lets go.
  std::mutex text_index_load_mutex;
  std::unique_ptr<const sqlite::TextIndex> text_index;
  std::atomic<const sqlite::TextIndex*> text_index_ready{nullptr};
  // Requires vectors_mutex held (shared is enough). Loads the copy on first
  // use; null when it is not wanted, or while another search loads it (the
  // caller then asks FTS5, which answers the same).
  const sqlite::TextIndex* memory_text_index(sqlite::Connection& c);
  // Requires vectors_mutex held exclusively.
  void forget_text_index() noexcept;

  // A pooled read-only connection, handed back to the pool on destruction.
  class Reader {
   public:
    Reader(Impl& owner, std::unique_ptr<sqlite::Connection> c) : owner_(owner), c_(std::move(c)) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader();
    sqlite::Connection& operator*() const noexcept { return *c_; }
    sqlite::Connection* operator->() const noexcept { return c_.get(); }

   private:
    Impl& owner_;
    std::unique_ptr<sqlite::Connection> c_;
  };
  Reader reader();

  // Throws StoreError(kReadOnly) naming `action` ("add chunks").
  sqlite::Connection& require_writer(const char* action);

  // Reads the vector codes: in place from the vector file when it is the
  // one the store's last vector write recorded, from the table otherwise.
  void load_vectors(sqlite::Connection& c);
  // Writes the vector file anew from the table when it is not the current
  // one; best effort (a file left stale is read from the table instead).
  void refresh_vector_file() noexcept;
  void load_doc_lengths(sqlite::Connection& c);
  // Requires vectors_mutex held exclusively.
  void build_metadata_index(sqlite::Connection& c);
  // Reads the exact stored vector of chunk `seq` into `out`; false when the
  // chunk is gone. StoreError(kCorrupt) for a vector of the wrong size.
  bool read_exact_vector(sqlite::Connection& c, std::int64_t seq, std::span<float> out);
  // Shows the stored rows among `rows` to `visit` (see SqliteChunkStore::visit_rows).
  void visit_rows(sqlite::Connection& c, std::span<const RowHit> rows, const RowVisitor& visit);
  // The chunks of the stored rows among `rows`, in order.
  std::vector<SearchHit> read_hits(sqlite::Connection& c, std::span<const RowHit> rows);
  // The rows of the best `top_k` chunks by BM25 (see search_bm25), each
  // run of the query passed through `finish(c, rows)`, which may drop rows.
  template <typename Finish>
  auto bm25(Reader& r, std::string_view query, std::size_t top_k, const Filter& filter, const Finish& finish)
      -> decltype(finish(*r, std::vector<RowHit>{}));
  // The rows of the best `top_k` chunks by cosine similarity (see search_vector).
  std::vector<RowHit> nearest_rows(sqlite::Connection& c, std::span<const float> query, std::size_t top_k,
                                   const Filter& filter, std::optional<double> min_score);
};

}  // namespace vorn_datastore
