// One page, one place: a ranking in which the best chunk of each page comes
// before any page's second chunk. A long page about a neighbouring topic
// otherwise fills the first results with near-duplicates of one answer and
// pushes the page that does answer out of view; with its other chunks
// moved down, not dropped, a caller that wants more of a page still finds
// them further on.
#pragma once

#include <string>

#include "vorn_core/chunk.hpp"

namespace vorn_retrieval {

// The page a chunk comes from: its "source" metadata, or its id up to '#'.
std::string page_of(const vorn_core::Chunk& chunk);

// `ranked` reordered so that each page's first `per_page` chunks, in their
// order, come before every page's later ones (which follow in their
// order). per_page 0 leaves the order as it is. Absent chunks are dropped.
vorn_core::ChunkList diversify_by_page(const vorn_core::ChunkList& ranked, std::size_t per_page);

}  // namespace vorn_retrieval
