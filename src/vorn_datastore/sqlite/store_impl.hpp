// The state behind a SqliteChunkStore, shared by the files that implement its
// opening, searching and writing.
//
// Locks, in the order they may be taken: write_mutex, then vectors_mutex,
// then the exact-row fill lock inside `vectors`, then df_mutex or
// pool_mutex. Readers never hold write_mutex.
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
#include "metadata_index.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
#include "stored_vectors.hpp"
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
  sqlite::MetadataIndex metadata_index;  // per slot, built on the first filtered vector search

  std::atomic<std::size_t> dimension{0};

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

  void load_vectors(sqlite::Connection& c);
  void load_doc_lengths(sqlite::Connection& c);
  // Requires vectors_mutex held exclusively.
  void build_metadata_index(sqlite::Connection& c);
  // Reads the exact stored vector of chunk `seq` into `out`; false when the
  // chunk is gone. StoreError(kCorrupt) for a vector of the wrong size.
  bool read_exact_vector(sqlite::Connection& c, std::int64_t seq, std::span<float> out);
  std::vector<SearchHit> fetch_hits(sqlite::Connection& c, const std::vector<VectorMatch>& matches,
                                    const std::vector<std::int64_t>& hit_seqs);
};

}  // namespace vorn_datastore
