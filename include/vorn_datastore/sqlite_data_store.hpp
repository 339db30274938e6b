// A data store on one SQLite file: exact cosine vector search through an
// embedder and BM25 full-text search, both with metadata filters. This is the
// store for real document sets; it persists, and reopening it costs one read
// of the stored vectors.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_datastore/data_store.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
#include "vorn_datastore/writable_data_store.hpp"
#include "vorn_inference/embedder.hpp"

namespace vorn_datastore {

class SqliteDataStore final : public WritableDataStore {
 public:
  // Opens or creates the store at `path`. With an embedder the store
  // registers the vector and the full-text capability; without one it can
  // only search text (and cannot ingest, since every stored chunk needs an
  // embedding). The embedder must produce vectors of the dimension the store
  // was built with, and be the embedder it was built with when both say
  // which they are (`BaseEmbedder::identity`, recorded in the index's
  // metadata under "embedder"): StoreError VORN-STORE-DIMENSION otherwise,
  // naming the store's embedder.
  static std::shared_ptr<SqliteDataStore> open(const std::filesystem::path& path,
                                               vorn_inference::EmbedderPtr embedder, OpenOptions options = {});

  SqliteDataStore(SqliteChunkStore store, vorn_inference::EmbedderPtr embedder);
  ~SqliteDataStore() override;

  // Embeds and stores the chunks as one transaction: all or nothing. Chunks
  // already stored with the same id and content are skipped before they are
  // embedded, so re-ingesting a document costs only lookups. An id stored
  // with other content fails the batch (StoreError VORN-STORE-INPUT). Chunk
  // metadata is stored as JSON (see vorn_core::to_json).
  vorn_core::Task<IngestResult> ingest(vorn_core::ChunkList chunks) override;

  // Removes the chunks with these ids in one transaction (unknown ids are
  // ignored); returns how many went.
  std::size_t remove(const std::vector<std::string>& ids) override;

  // With an embedder and opened for writing.
  bool accepts_writes() const noexcept override;
  std::unordered_map<std::string, std::vector<std::string>> ids_by_metadata(std::string_view key) const override;
  std::optional<std::string> index_metadata(std::string_view key) const override;
  void set_index_metadata(std::string_view key, std::string_view value) override;
  void set_index_metadata_many(const std::vector<std::pair<std::string, std::string>>& entries) override;

  std::size_t size() const override;
  bool contains(std::string_view id) const;
  // The stored chunk (no score), or nullptr.
  vorn_core::ChunkPtr get(std::string_view id) const;

  const SqliteChunkStore& chunk_store() const noexcept { return store_; }
  const vorn_inference::EmbedderPtr& embedder() const noexcept { return embedder_; }

  CapabilitySet registered_capabilities() const override;
  SearchCapability* capability(CapabilityType type) override;
  PageSearch* page_search() override;
  RowSearch* row_search() override;
  std::string type_name() const override { return "SqliteDataStore"; }

 private:
  class Vector;
  class Fulltext;
  class Pages;
  class Rows;

  // The embedding of a search's query; OperationError when the embedder
  // does not return exactly one.
  vorn_core::Task<vorn_inference::Embedding> embed_query(std::string query);
  // Records the embedder's identity in a store that has none (when writable)
  // and refuses one that differs from the recorded one.
  void check_embedder_identity();

  SqliteChunkStore store_;
  vorn_inference::EmbedderPtr embedder_;
  std::unique_ptr<Vector> vector_;
  std::unique_ptr<Fulltext> fulltext_;
  std::unique_ptr<Pages> pages_;
  std::unique_ptr<Rows> rows_;
};

// A search request's `query_filter` in the store's filter form.
Filter to_store_filter(const vorn_core::Value& query_filter);

}  // namespace vorn_datastore
