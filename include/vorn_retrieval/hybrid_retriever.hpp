// Hybrid retrieval: vector search and BM25 over the same store, fused by
// weighted reciprocal rank. Vector search finds paraphrases, BM25 finds exact
// names and rare words; fusing ranks (not scores) needs no calibration between
// the two very different score scales.
#pragma once

#include "vorn_datastore/data_store.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_retrieval {

class CandidateMemory;

// The defaults suit the offline hashing embedder, whose vector search is
// much weaker than BM25 on real documents (eval/: recall@5 0.45-0.50 against
// 0.55-0.70): its list breaks ties and adds what BM25 misses without pushing
// BM25's first hits down. With an embedding model, raise vector_weight (1.0)
// and rank_constant (60).
struct HybridOptions {
  double vector_weight = 0.2;
  double fulltext_weight = 1.0;
  // k in weight / (k + rank); larger values flatten the difference between
  // ranks, so agreement between the two lists counts for more.
  double rank_constant = 2.0;
  // Candidates fetched from each search per requested chunk (at least 20 in
  // all): a chunk ranked 8th by both searches should beat one ranked 1st by
  // only one of them, which it can only do if both lists reach that deep.
  std::size_t candidates_per_result = 4;
  // Tables of contents, link lists and change histories rank below prose
  // that matches as well (see chunk_kind.hpp).
  bool demote_kinds = true;
  // Chunks of one page before every other page in the pool has had its
  // turn (see page_diversity.hpp); 0: no limit. One per page raised
  // recall@5 on all three eval/ corpora (0.72 -> 0.78, 0.55 -> 0.65,
  // 0.51 -> 0.57) at the cost of nDCG, which counts a page's extra chunks.
  std::size_t per_page = 1;
  // Weight of the page score against the chunk ranking when ordering pages
  // (see page_ranking.hpp); 0 leaves the chunk ranking alone. Pages are
  // ranked only when per_page is above 0 (each page's best chunk comes
  // first); stores without a page index, and filtered searches, rank chunks
  // only. 1 raised recall@5 and MRR@10 on the eval/ corpora (hybrid:
  // 0.78 -> 0.85 / 0.60 -> 0.65, 0.65 -> 0.70 / 0.52 -> 0.54, 0.57 -> 0.59 /
  // 0.40 -> 0.42); 0.5 and 2 did less well on one or another.
  double page_weight = 1.0;
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
  // Each chunk's `score` is its fused score divided by the best possible one
  // (first in both lists), so it lies in (0, 1], times its kind's weight;
  // `threshold` compares with the fused score before that weight.
  vorn_core::Task<vorn_core::ChunkList> retrieve_chunks(std::string query, RetrieveOptions options) override;

 private:
  // The same ranking over a store that ranks rows before reading them:
  // candidates are fused by row, their page and kind remembered from
  // earlier retrievals while the store's rows stay as they were (else
  // looked at in place), and only the returned chunks are read.
  vorn_core::Task<vorn_core::ChunkList> retrieve_rows(vorn_datastore::RowSearch& rows, std::string query,
                                                      const RetrieveOptions& options, std::size_t top_k,
                                                      std::size_t pool);

  vorn_datastore::DataStorePtr data_store_;
  HybridOptions options_;
  std::shared_ptr<CandidateMemory> candidates_;
};

}  // namespace vorn_retrieval
