#include "vorn_retrieval/fulltext_retriever.hpp"

#include <algorithm>
#include <cmath>

#include "vorn_core/error.hpp"
#include "vorn_retrieval/chunk_kind.hpp"
#include "vorn_retrieval/page_diversity.hpp"
#include "vorn_retrieval/page_ranking.hpp"

namespace vorn_retrieval {
namespace {
constexpr std::size_t kMinCandidates = 20;
}  // namespace

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

FulltextRetriever::FulltextRetriever(vorn_datastore::DataStorePtr data_store, FulltextOptions options)
    : data_store_(std::move(data_store)), options_(options) {
  (void)require_capability(data_store_, vorn_datastore::CapabilityType::FULLTEXT, "full-text search");
  if (!std::isfinite(options_.page_weight) || options_.page_weight < 0.0) {
    throw vorn_core::InvalidValueError("Invalid `page_weight`. Set it to 0 or more and retry.");
  }
  if (options_.candidates_per_result == 0) {
    throw vorn_core::InvalidValueError("Invalid `candidates_per_result`. Set it to 1 or more and retry.");
  }
}

vorn_core::Task<vorn_core::ChunkList> FulltextRetriever::retrieve_chunks(std::string query, RetrieveOptions options) {
  const std::size_t top_k = effective_top_k(options, kDefaultTopK);
  // Pages are indexed whole, while a filter selects chunks.
  const bool by_page = options_.page_weight > 0.0 && options_.per_page > 0 &&
                       vorn_datastore::parse_query_filter(options.query_filter).empty();
  const bool reorders = options_.demote_kinds || options_.per_page > 0 || by_page;
  // Reordering brings up hits from below the first top_k, so fetch deeper.
  const std::size_t pool = reorders ? std::max(kMinCandidates, top_k * options_.candidates_per_result) : top_k;
  vorn_datastore::SearchRequest request{query, pool, std::move(options.query_filter), options.threshold};
  vorn_core::ChunkList hits =
      co_await data_store_->capability(vorn_datastore::CapabilityType::FULLTEXT)->search(std::move(request));
  if (options_.demote_kinds) hits = demote_by_kind(hits);
  if (by_page) hits = co_await rank_with_page_scores(*data_store_, std::move(query), std::move(hits), options_.page_weight);
  hits = diversify_by_page(hits, options_.per_page);
  if (hits.size() > top_k) hits.resize(top_k);
  co_return hits;
}

}  // namespace vorn_retrieval
