// Retrieval through a data store's full-text (BM25) capability: the words of
// the query, weighted by how rare they are in the store.
#pragma once

#include "vorn_datastore/data_store.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_retrieval {

class FulltextRetriever : public BaseRetriever {
 public:
  static constexpr std::int64_t kDefaultTopK = 5;

  // Throws `ValueError` for an absent store, `TypeError` for a store without
  // the full-text capability.
  explicit FulltextRetriever(vorn_datastore::DataStorePtr data_store);

  const vorn_datastore::DataStorePtr& data_store() const noexcept { return data_store_; }
  std::string type_name() const override { return "FulltextRetriever"; }

 protected:
  // Each chunk's `score` is its BM25 score; `threshold` compares with it.
  vorn_core::Task<vorn_core::ChunkList> retrieve_chunks(std::string query, RetrieveOptions options) override;

 private:
  vorn_datastore::DataStorePtr data_store_;
};

// The store's capability of `type`; throws `ValueError` for an absent store
// and `TypeError` naming `what` (e.g. "full-text search") when it is missing.
vorn_datastore::SearchCapability& require_capability(const vorn_datastore::DataStorePtr& data_store,
                                                     vorn_datastore::CapabilityType type, std::string_view what);

// `top_k` from the options or `default_top_k`; throws `ValueError` below 1.
std::size_t effective_top_k(const RetrieveOptions& options, std::int64_t default_top_k);

}  // namespace vorn_retrieval
