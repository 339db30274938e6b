// Pages ranked on two kinds of evidence: where a page's best chunk ranks,
// and how well the page matches as a whole. A question's words are often
// spread over several chunks of the page that answers it (the command's
// name in its title, the option in one section, the effect in another); no
// single chunk then matches them all, but the page does.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "vorn_core/chunk.hpp"
#include "vorn_core/task.hpp"
#include "vorn_datastore/data_store.hpp"

namespace vorn_retrieval {

struct PageFusion {
  // Reciprocal-rank weights of the two rankings of the candidate pages: by
  // their best chunk's place in the chunk ranking, and by their page score.
  double chunk_weight = 1.0;
  double page_weight = 1.0;
  // k in weight / (k + rank).
  double rank_constant = 2.0;
};

// The pages of `ranked` (page_of), each once, in the order of their best
// chunk.
std::vector<std::string> pages_in_order(const vorn_core::ChunkList& ranked);

// `ranked` with each page's best chunk first, pages in the order of their
// fused score (ties keep the chunk ranking's order), then every other chunk
// in its order: one chunk per page before any page's second, as
// diversify_by_page with 1 per page. `page_scores` holds one score per page
// of pages_in_order(ranked); a page scoring 0 or less has no page rank, and
// when none scores above 0 the ranking is left as it is. Absent chunks are
// dropped.
vorn_core::ChunkList rank_by_page(const vorn_core::ChunkList& ranked, const std::vector<double>& page_scores,
                                  const PageFusion& fusion);

// `ranked` reordered by rank_by_page with the store's page scores for
// `query`; unchanged when the store keeps no page index or `page_weight` is
// 0.
vorn_core::Task<vorn_core::ChunkList> rank_with_page_scores(vorn_datastore::BaseDataStore& store, std::string query,
                                                            vorn_core::ChunkList ranked, double page_weight);

}  // namespace vorn_retrieval
