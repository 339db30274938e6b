#include "vorn_retrieval/lexical_reranker.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "vorn_core/error.hpp"
#include "vorn_retrieval/candidate_ranking.hpp"

namespace vorn_retrieval {

LexicalReranker::LexicalReranker(LexicalRerankerOptions options) : options_(options) {
  for (double w : {options_.bm25_weight, options_.coverage_weight, options_.rank_weight, options_.page_weight,
                   options_.heading_weight, options_.page_share}) {
    if (!std::isfinite(w) || w < 0.0) {
      throw vorn_core::InvalidValueError("Invalid LexicalReranker weight. Use finite weights of 0 or more and retry.");
    }
  }
}

vorn_core::Task<vorn_core::ChunkList> LexicalReranker::rerank(vorn_core::ChunkList chunks, std::string query) {
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) {
      throw vorn_core::InvalidTypeError("The reranker got an absent chunk at position " + std::to_string(i) +
                                 ". Pass only chunks and retry.");
    }
  }
  const double n = static_cast<double>(chunks.size());
  std::vector<double> prior(chunks.size());
  for (std::size_t i = 0; i < chunks.size(); ++i) prior[i] = 1.0 - static_cast<double>(i) / n;
  CandidateRankingOptions ranking;
  ranking.prior_weight = options_.rank_weight;
  ranking.bm25_weight = options_.bm25_weight;
  ranking.coverage_weight = options_.coverage_weight;
  ranking.page_weight = options_.page_weight;
  ranking.heading_weight = options_.heading_weight;
  ranking.page_share = options_.page_share;
  ranking.per_page = options_.per_page;
  std::vector<RankedCandidate> order = rank_candidates(query, chunks, prior, ranking);

  vorn_core::ChunkList out;
  out.reserve(chunks.size());
  if (options_.keep != 0 && order.size() > options_.keep) order.resize(options_.keep);
  for (const RankedCandidate& c : order) {
    auto copy = std::make_shared<vorn_core::Chunk>(*chunks[c.index]);
    copy->score = c.score;
    out.push_back(std::move(copy));
  }
  co_return out;
}

}  // namespace vorn_retrieval
