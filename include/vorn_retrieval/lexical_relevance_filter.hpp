// Offline relevance filter: keeps the chunks that contain enough of the
// query's words. The relevance of a chunk is the share of the query's
// distinct content words (stop words dropped, light-stemmed) found in its
// text or its `heading` metadata; it depends on that chunk alone, so a
// chunk's fate does not change with the company it is retrieved in.
#pragma once

#include "vorn_retrieval/retriever.hpp"

namespace vorn_retrieval {

class LexicalRelevanceFilter : public BaseRelevanceFilter {
 public:
  static constexpr double kDefaultThreshold = 0.5;

  // Throws `ValueError` unless 0 <= threshold <= 1.
  explicit LexicalRelevanceFilter(double threshold = kDefaultThreshold);

  // The chunks whose relevance is at least the threshold, in input order and
  // unchanged. A query without content words cannot be judged: every chunk
  // is kept. Throws `TypeError` for an absent chunk.
  vorn_core::Task<vorn_core::ChunkList> filter(vorn_core::ChunkList chunks, std::string query) override;

  // The relevance the filter compares with the threshold, in [0, 1].
  static double relevance(std::string_view query, const vorn_core::Chunk& chunk);

  double threshold() const noexcept { return threshold_; }
  std::string type_name() const override { return "LexicalRelevanceFilter"; }

 private:
  double threshold_;
};

}  // namespace vorn_retrieval
