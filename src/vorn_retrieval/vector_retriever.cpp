#include "vorn_retrieval/vector_retriever.hpp"

#include "vorn_core/error.hpp"

namespace vorn_retrieval {

VectorRetriever::VectorRetriever(vorn_datastore::DataStorePtr data_store) : data_store_(std::move(data_store)) {
  if (!data_store_) throw vorn_core::InvalidValueError("Missing `data_store`. Pass a data store and retry.");
  if (!data_store_->capability(vorn_datastore::CapabilityType::VECTOR)) {
    throw vorn_core::InvalidTypeError("The `data_store` has no vector capability (registered: " +
                               data_store_->registered_capabilities().str() +
                               "). Use a store with vector search and retry.");
  }
}

vorn_core::Task<vorn_core::ChunkList> VectorRetriever::retrieve_chunks(std::string query, RetrieveOptions options) {
  const std::int64_t top_k = options.top_k.value_or(kDefaultTopK);
  if (top_k < 1) throw vorn_core::InvalidValueError("Invalid `top_k`. Set it to 1 or more and retry.");
  vorn_datastore::SearchRequest request{std::move(query), static_cast<std::size_t>(top_k),
                                        std::move(options.query_filter), options.threshold};
  co_return co_await data_store_->capability(vorn_datastore::CapabilityType::VECTOR)->search(std::move(request));
}

}  // namespace vorn_retrieval
