// Hybrid retrieval: vector search and BM25 over the same store, fused by
// weighted reciprocal rank, then (by default) ordered by rank_candidates:
// the fused rank as a prior plus lexical evidence from each chunk, its
// heading path and its page's title and summary. Vector search finds
// paraphrases, BM25 finds exact names and rare words; fusing ranks (not
// scores) needs no calibration between the two very different score scales,
// and the lexical pass keeps a weak list from dragging the strong one down.
#pragma once

#include "vorn_datastore/data_store.hpp"
#include "vorn_retrieval/candidate_ranking.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_retrieval {

struct HybridOptions {
  double vector_weight = 1.0;
  double fulltext_weight = 1.0;
  // k in weight / (k + rank); larger values flatten the difference between
  // ranks, so agreement between the two lists counts for more.
  double rank_constant = 60.0;
  // Candidates fetched from each search per requested chunk (at least 20 in
  // all): a chunk ranked 8th by both searches should beat one ranked 1st by
  // only one of them, which it can only do if both lists reach that deep.
  std::size_t candidates_per_result = 4;
  // Order the fused pool with rank_candidates; off: the fused order alone.
  bool rank_lexically = false;
  CandidateRankingOptions ranking;
  // Candidates fetched from each search when ranking lexically (at least
  // this many, and at least candidates_per_result per requested chunk): the
  // lexical pass can only promote what the searches found.
  std::size_t lexical_pool = 50;
};

class HybridRetriever : public BaseRetriever {
 public:
  static constexpr std::int64_t kDefaultTopK = 5;

  // Throws `ValueError` for an absent store, negative or non-finite weights,
  // both weights 0, or a negative rank constant; `TypeError` for a store that
  // lacks the vector or the full-text capability.
  explicit HybridRetriever(vorn_datastore::DataStorePtr data_store, HybridOptions options = {});

  const vorn_datastore::DataStorePtr& data_store() const noexcept { return data_store_; }
  const HybridOptions& options() const noexcept { return options_; }
  std::string type_name() const override { return "HybridRetriever"; }

 protected:
  // Each chunk's `score` lies in (0, 1] and `threshold` compares with it:
  // the ranking score divided by the best possible one, or without the
  // lexical pass the fused score divided by the best possible one (first in
  // both lists).
  vorn_core::Task<vorn_core::ChunkList> retrieve_chunks(std::string query, RetrieveOptions options) override;

 private:
  vorn_datastore::DataStorePtr data_store_;
  HybridOptions options_;
};

}  // namespace vorn_retrieval
