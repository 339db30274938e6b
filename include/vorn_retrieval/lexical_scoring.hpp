// Word-overlap relevance between a query and a set of chunks, computed from
// the chunks alone (no index, no model). Shared by the retrievers' final
// ranking, the lexical reranker and the relevance filter. Words are matched
// as vorn_core::search_terms: Snowball stems without stop words, plus
// code-like tokens kept whole.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vorn_core/chunk.hpp"

namespace vorn_retrieval {

struct LexicalScore {
  // BM25 with the candidate chunks as the collection (k1 1.2, b 0.75, idf
  // ln(1 + (N - df + 0.5) / (df + 0.5)), which stays positive), over the
  // chunk's heading path and content.
  double bm25 = 0.0;
  // Share of the query's distinct terms found in the chunk's heading path
  // or content, in [0, 1].
  double coverage = 0.0;
  // Share of the query's rarity (terms weighted by idf) found in the
  // chunk's page title and summary (metadata "title", "summary"), in [0, 1].
  double page = 0.0;
  // The same for the chunk's heading path alone.
  double heading = 0.0;
};

// One score per chunk, in order. Absent chunks score 0.
std::vector<LexicalScore> score_lexically(std::string_view query, const vorn_core::ChunkList& chunks);

// The text BM25 reads for a chunk: its heading path (metadata "heading")
// and content. A section title names what the section is about even when
// the body never repeats it.
std::string scoring_text(const vorn_core::Chunk& chunk);

}  // namespace vorn_retrieval
