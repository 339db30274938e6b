// Retrieval through a data store's full-text (BM25) capability: the words of
// the query, weighted by how rare they are in the store.
#pragma once

#include "vorn_datastore/data_store.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_retrieval {

struct FulltextOptions {
  // Tables of contents, link lists and change histories rank below prose
  // that matches as well (see chunk_kind.hpp).
  bool demote_kinds = true;
  // Chunks of one page before every other page has had its turn (see
  // page_diversity.hpp); 0: no limit.
  std::size_t per_page = 1;
  // When reordering, hits fetched per requested chunk (at least 20 in all).
  std::size_t candidates_per_result = 4;
  // Weight of the page score against the chunk ranking when ordering pages
  // (see page_ranking.hpp); 0 leaves the chunk ranking alone. Pages are
  // ranked only when per_page is above 0 (each page's best chunk comes
  // first); stores without a page index, and filtered searches, rank chunks
  // only. 1 raised recall@5 and MRR@10 on the eval/ corpora (hybrid:
  // 0.78 -> 0.85 / 0.60 -> 0.65, 0.65 -> 0.70 / 0.52 -> 0.54, 0.57 -> 0.59 /
  // 0.40 -> 0.42); 0.5 and 2 did less well on one or another.
  double page_weight = 1.0;
};

class FulltextRetriever : public BaseRetriever {
 public:
  static constexpr std::int64_t kDefaultTopK = 5;

  // Throws `ValueError` for an absent store or candidates_per_result 0,
  // `TypeError` for a store without the full-text capability.
  explicit FulltextRetriever(vorn_datastore::DataStorePtr data_store, FulltextOptions options = {});

  const vorn_datastore::DataStorePtr& data_store() const noexcept { return data_store_; }
  const FulltextOptions& options() const noexcept { return options_; }
  std::string type_name() const override { return "FulltextRetriever"; }

 protected:
  // Each chunk's `score` is its BM25 score times its kind's weight;
  // `threshold` compares with the BM25 score.
  vorn_core::Task<vorn_core::ChunkList> retrieve_chunks(std::string query, RetrieveOptions options) override;

 private:
  vorn_datastore::DataStorePtr data_store_;
  FulltextOptions options_;
};

// The store's capability of `type`; throws `ValueError` for an absent store
// and `TypeError` naming `what` (e.g. "full-text search") when it is missing.
vorn_datastore::SearchCapability& require_capability(const vorn_datastore::DataStorePtr& data_store,
                                                     vorn_datastore::CapabilityType type, std::string_view what);

// `top_k` from the options or `default_top_k`; throws `ValueError` below 1.
std::size_t effective_top_k(const RetrieveOptions& options, std::int64_t default_top_k);

}  // namespace vorn_retrieval
