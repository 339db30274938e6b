// Retrieval through a data store's vector capability.
#pragma once

#include "vorn_datastore/data_store.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_retrieval {

class VectorRetriever : public BaseRetriever {
 public:
  static constexpr std::int64_t kDefaultTopK = 5;

  // Throws `ValueError` for an absent store, `TypeError` for a store without
  // the vector capability.
  explicit VectorRetriever(vorn_datastore::DataStorePtr data_store);

  const vorn_datastore::DataStorePtr& data_store() const noexcept { return data_store_; }
  std::string type_name() const override { return "VectorRetriever"; }

 protected:
  vorn_core::Task<vorn_core::ChunkList> retrieve_chunks(std::string query, RetrieveOptions options) override;

 private:
  vorn_datastore::DataStorePtr data_store_;
};

}  // namespace vorn_retrieval
