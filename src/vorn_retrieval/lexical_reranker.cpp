#include "vorn_retrieval/lexical_reranker.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "vorn_core/error.hpp"
#include "vorn_retrieval/lexical_scoring.hpp"

namespace vorn_retrieval {

LexicalReranker::LexicalReranker(LexicalRerankerOptions options) : options_(options) {
  for (double w : {options_.bm25_weight, options_.coverage_weight, options_.rank_weight}) {
    if (!std::isfinite(w) || w < 0.0) {
      throw vorn_core::ValueError("Invalid LexicalReranker weight. Use finite weights of 0 or more and retry.");
    }
  }
}

vorn_core::Task<vorn_core::ChunkList> LexicalReranker::rerank(vorn_core::ChunkList chunks, std::string query) {
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) {
      throw vorn_core::TypeError("The reranker got an absent chunk at position " + std::to_string(i) +
                                 ". Pass only chunks and retry.");
    }
  }
  const std::vector<LexicalScore> lexical = score_lexically(query, chunks);
  double best_bm25 = 0.0;
  for (const auto& s : lexical) best_bm25 = std::max(best_bm25, s.bm25);

  const double n = static_cast<double>(chunks.size());
  std::vector<double> score(chunks.size());
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const double bm25 = best_bm25 > 0.0 ? lexical[i].bm25 / best_bm25 : 0.0;
    score[i] = options_.bm25_weight * bm25 + options_.coverage_weight * lexical[i].coverage +
               options_.rank_weight * (1.0 - static_cast<double>(i) / n);
  }
  std::vector<std::size_t> order(chunks.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return score[a] > score[b]; });

  vorn_core::ChunkList out;
  out.reserve(chunks.size());
  if (options_.keep != 0 && order.size() > options_.keep) order.resize(options_.keep);
  for (std::size_t i : order) {
    auto copy = std::make_shared<vorn_core::Chunk>(*chunks[i]);
    copy->score = score[i];
    out.push_back(std::move(copy));
  }
  co_return out;
}

}  // namespace vorn_retrieval
