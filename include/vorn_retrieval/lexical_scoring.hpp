// Word-overlap relevance between a query and a set of chunks, computed from
// the chunks alone (no index, no model). Shared by the lexical reranker and
// relevance filter. Words are matched as vorn_core::content_terms: stop words
// dropped, accents and case folded, light-stemmed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vorn_core/chunk.hpp"

namespace vorn_retrieval {

struct LexicalScore {
  // BM25 with the candidate chunks as the collection (k1 1.2, b 0.75, idf
  // ln(1 + (N - df + 0.5) / (df + 0.5)), which stays positive).
  double bm25 = 0.0;
  // Share of the query's distinct terms found in the chunk, in [0, 1].
  double coverage = 0.0;
};

// One score per chunk, in order. A chunk's text is its content plus a string
// `heading` metadata entry when there is one: a section title names what the
// section is about even when the body never repeats it. Absent chunks score 0.
std::vector<LexicalScore> score_lexically(std::string_view query, const vorn_core::ChunkList& chunks);

// The text lexical scoring reads for a chunk.
std::string scoring_text(const vorn_core::Chunk& chunk);

}  // namespace vorn_retrieval
