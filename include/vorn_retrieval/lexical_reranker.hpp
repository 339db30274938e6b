// Offline reranking by word overlap: re-scores retrieved chunks with BM25
// computed over the candidates themselves and the page and heading matches
// of rank_candidates, blended with the order the retriever gave. It needs no model, and it corrects the typical miss of
// vector search with a hashing embedder: a chunk that shares many character
// n-grams with the query but few of its actual words. On this project's
// documentation it lifts both recall@5 and the rank of the first answering
// chunk of hashing-embedder vector search; the retrieval evaluation test
// (tests/components) measures it and fails if it makes the order worse.
#pragma once

#include "vorn_retrieval/retriever.hpp"

namespace vorn_retrieval {

struct LexicalRerankerOptions {
  double bm25_weight = 1.0;  // on BM25 divided by the best BM25 among the candidates
  // On the share of the query's words the chunk contains. Off by default: on
  // our evaluation it did not improve the order beyond what BM25 gives.
  double coverage_weight = 0.0;
  // On 1 - rank / n of the incoming order: the retriever's judgement stays
  // worth as much as the best lexical match, so one shared word does not
  // overturn it.
  double rank_weight = 1.0;
  // On the idf-weighted share of the query found in the page's title and
  // summary, and in the heading path (see rank_candidates). Off by default:
  // over five candidates they did not change the order on eval/.
  double page_weight = 0.0;
  double heading_weight = 0.0;
  // Share of its page's best score a chunk gains, and chunks of one page
  // before other pages have had their turn (0: no limit).
  double page_share = 0.0;
  std::size_t per_page = 0;
  // Keep at most this many of the best chunks; 0 keeps them all. Lets a
  // strategy that gathers candidates from several queries answer from no
  // more chunks than were asked for.
  std::size_t keep = 0;
};

class LexicalReranker : public BaseReranker {
 public:
  // Throws `ValueError` for a negative or non-finite weight.
  explicit LexicalReranker(LexicalRerankerOptions options = {});

  // Best first; ties keep the incoming order. Returns copies of the chunks
  // whose `score` is the rerank score. Throws `TypeError` for an absent chunk.
  vorn_core::Task<vorn_core::ChunkList> rerank(vorn_core::ChunkList chunks, std::string query) override;

  const LexicalRerankerOptions& options() const noexcept { return options_; }
  std::string type_name() const override { return "LexicalReranker"; }

 private:
  LexicalRerankerOptions options_;
};

}  // namespace vorn_retrieval
