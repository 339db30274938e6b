// The final order of retrieved candidates, as the lexical reranker computes
// it: the retrieval order (as a prior) combined with
// lexical evidence from the chunk, its heading path and its page's title and
// summary, then whole pages: a chunk gains from the best chunk of its page,
// and no page takes more than a few of the top places, so one long page
// about a neighbouring topic cannot push the answering page out of view.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "vorn_core/chunk.hpp"

namespace vorn_retrieval {

struct CandidateRankingOptions {
  double prior_weight = 1.0;     // on the prior, in [0, 1]
  double bm25_weight = 1.0;      // on BM25 over the candidates divided by the best one
  double coverage_weight = 0.5;  // on the share of the query's terms in the chunk
  double page_weight = 0.8;      // on the idf-weighted share of the query in the page's title and summary
  double heading_weight = 0.3;   // the same for the heading path
  double page_share = 0.3;       // a chunk's score gains this share of its page's best chunk score
  // At most this many chunks of one page (metadata "source") before every
  // other page has had its turn; 0 means no limit.
  std::size_t per_page = 2;
};

struct RankedCandidate {
  std::size_t index;  // into the candidates
  double score;
};

// Candidates best first. `prior` holds one value in [0, 1] per candidate
// (1 = the retrieval's best); ties keep the candidates' order.
std::vector<RankedCandidate> rank_candidates(std::string_view query, const vorn_core::ChunkList& candidates,
                                             std::span<const double> prior, const CandidateRankingOptions& options = {});

}  // namespace vorn_retrieval
