#include "vorn_retrieval/lexical_relevance_filter.hpp"

#include <cmath>

#include "vorn_core/error.hpp"
#include "vorn_core/text.hpp"
#include "vorn_retrieval/lexical_scoring.hpp"

namespace vorn_retrieval {

LexicalRelevanceFilter::LexicalRelevanceFilter(double threshold) : threshold_(threshold) {
  if (!(threshold_ >= 0.0 && threshold_ <= 1.0)) {
    throw vorn_core::InvalidValueError("Invalid `threshold` for LexicalRelevanceFilter. Set it between 0 and 1 and retry.");
  }
}

double LexicalRelevanceFilter::relevance(std::string_view query, const vorn_core::Chunk& chunk) {
  // Coverage does not depend on the other chunks, so one is enough.
  const vorn_core::ChunkList one(1, std::make_shared<vorn_core::Chunk>(chunk));
  return score_lexically(query, one).front().coverage;
}

vorn_core::Task<vorn_core::ChunkList> LexicalRelevanceFilter::filter(vorn_core::ChunkList chunks, std::string query) {
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) {
      throw vorn_core::InvalidTypeError("The relevance filter got an absent chunk at position " + std::to_string(i) +
                                 ". Pass only chunks and retry.");
    }
  }
  if (vorn_core::content_terms(query).empty()) co_return chunks;
  const std::vector<LexicalScore> scores = score_lexically(query, chunks);
  vorn_core::ChunkList kept;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (scores[i].coverage >= threshold_) kept.push_back(std::move(chunks[i]));
  }
  co_return kept;
}

}  // namespace vorn_retrieval
