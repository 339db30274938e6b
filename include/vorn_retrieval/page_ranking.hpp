// Pages ranked on two kinds of evidence: where a page's best chunk ranks,
// and where the page ranks as a whole in a page-level search. A question's
// words are often spread over several chunks of the page that answers it
// (the command's name in its title, the option in one section, the effect in
// another); no single chunk then matches them all, but the page does.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "vorn_core/chunk.hpp"
#include "vorn_core/task.hpp"
#include "vorn_datastore/data_store.hpp"

namespace vorn_retrieval {

struct PageFusion {
  // Reciprocal-rank weights of the two rankings of pages: by their best
  // chunk's place in the chunk ranking, and by the page search.
  double chunk_weight = 1.0;
  double page_weight = 1.0;
  // k in weight / (k + rank).
  double rank_constant = 2.0;
};

// `ranked` reordered page by page: pages in the order of their fused score
// (ties keep the chunk ranking's order), each page's chunks in their order.
// A page found only by the page search has no chunk here and is left out.
// Absent chunks are dropped.
vorn_core::ChunkList rank_by_page(const vorn_core::ChunkList& ranked,
                                  const std::vector<vorn_datastore::PageScore>& pages, const PageFusion& fusion);

// `ranked` reordered by rank_by_page with the `depth` best pages of the
// store's page search for `query`; unchanged when the store keeps no page
// index or `page_weight` is 0.
vorn_core::Task<vorn_core::ChunkList> rank_with_page_search(vorn_datastore::BaseDataStore& store, std::string query,
                                                            vorn_core::ChunkList ranked, std::size_t depth,
                                                            double page_weight);

}  // namespace vorn_retrieval
