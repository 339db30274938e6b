#include "vorn_retrieval/fulltext_retriever.hpp"

#include "vorn_core/error.hpp"

namespace vorn_retrieval {

vorn_datastore::SearchCapability& require_capability(const vorn_datastore::DataStorePtr& data_store,
                                                     vorn_datastore::CapabilityType type, std::string_view what) {
  if (!data_store) throw vorn_core::InvalidValueError("Missing `data_store`. Pass a data store and retry.");
  vorn_datastore::SearchCapability* capability = data_store->capability(type);
  if (!capability) {
    throw vorn_core::InvalidTypeError("The `data_store` has no " + std::string(what) + " capability (registered: " +
                               data_store->registered_capabilities().str() + "). Use a store with " +
                               std::string(what) + " and retry.");
  }
  return *capability;
}

std::size_t effective_top_k(const RetrieveOptions& options, std::int64_t default_top_k) {
  const std::int64_t top_k = options.top_k.value_or(default_top_k);
  if (top_k < 1) throw vorn_core::InvalidValueError("Invalid `top_k`. Set it to 1 or more and retry.");
  return static_cast<std::size_t>(top_k);
}

FulltextRetriever::FulltextRetriever(vorn_datastore::DataStorePtr data_store) : data_store_(std::move(data_store)) {
  (void)require_capability(data_store_, vorn_datastore::CapabilityType::FULLTEXT, "full-text search");
}

vorn_core::Task<vorn_core::ChunkList> FulltextRetriever::retrieve_chunks(std::string query, RetrieveOptions options) {
  vorn_datastore::SearchRequest request{std::move(query), effective_top_k(options, kDefaultTopK),
                                        std::move(options.query_filter), options.threshold};
  co_return co_await data_store_->capability(vorn_datastore::CapabilityType::FULLTEXT)->search(std::move(request));
}

}  // namespace vorn_retrieval
