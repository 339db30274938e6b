// A data store held in memory: exact cosine vector search through an
// embedder and simple term-overlap full-text search. For tests, examples and
// small corpora; the SQLite store is the one for real document sets. It
// accepts writes (an Indexer can fill it); nothing persists.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "vorn_datastore/writable_data_store.hpp"
#include "vorn_inference/embedder.hpp"

namespace vorn_datastore {

class InMemoryDataStore : public WritableDataStore {
 public:
  // Without an embedder the store has no vector capability.
  explicit InMemoryDataStore(vorn_inference::EmbedderPtr embedder = nullptr, bool fulltext = true);
  ~InMemoryDataStore() override;

  // Embeds and stores the chunks (a chunk with a known id replaces it).
  vorn_core::Task<void> add(vorn_core::ChunkList chunks);
  std::size_t size() const override;

  // The WritableDataStore contract; ingest fails the batch (StoreError
  // VORN-STORE-INPUT) for an id stored with other content.
  bool accepts_writes() const noexcept override { return true; }
  vorn_core::Task<IngestResult> ingest(vorn_core::ChunkList chunks) override;
  std::size_t remove(const std::vector<std::string>& ids) override;
  std::unordered_map<std::string, std::vector<std::string>> ids_by_metadata(std::string_view key) const override;
  std::optional<std::string> index_metadata(std::string_view key) const override;
  void set_index_metadata(std::string_view key, std::string_view value) override;

  CapabilitySet registered_capabilities() const override;
  SearchCapability* capability(CapabilityType type) override;
  std::string type_name() const override { return "InMemoryDataStore"; }

 private:
  class Vector;
  class Fulltext;
  struct Entry {
    vorn_core::ChunkPtr chunk;
    std::vector<float> embedding;
  };
  std::vector<Entry> snapshot() const;

  vorn_inference::EmbedderPtr embedder_;
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::map<std::string, std::string, std::less<>> index_metadata_;
  std::unique_ptr<Vector> vector_;
  std::unique_ptr<Fulltext> fulltext_;
};

}  // namespace vorn_datastore
