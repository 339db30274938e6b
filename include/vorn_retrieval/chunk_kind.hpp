// What kind of text a chunk is, judged from its own lines, and how much a
// ranking should trust a match in it. A table of contents, a list of links,
// a release history or a table of package names matches many questions'
// words without answering any of them, and on real documentation such
// chunks crowd the prose that does answer out of the top results.
#pragma once

#include <span>
#include <string_view>

#include "vorn_core/chunk.hpp"

namespace vorn_retrieval {

enum class ChunkKind {
  kProse,      // paragraphs, lists of steps, code: anything below
  kTable,      // most lines are table rows (pipe, grid or simple tables)
  kContents,   // a table of contents: numbered or linked entries, or a toctree
  kLinks,      // most lines are a link or a cross-reference alone
  kChangelog,  // release notes, a change history, "what's new"
};

// `heading` and `title` are the chunk's heading path and its page's title
// (either may be empty); they name a changelog or a table of contents that
// the text alone does not give away.
ChunkKind classify_chunk(std::string_view content, std::string_view heading = {}, std::string_view title = {});

// Same, reading "heading" and "title" from the chunk's metadata.
ChunkKind classify_chunk(const vorn_core::Chunk& chunk);

// Factor on a chunk's retrieval score: 1 for prose, below 1 for the kinds
// that rarely answer.
double kind_weight(ChunkKind kind) noexcept;

// Multiplies each chunk's score by its kind's weight and re-sorts, best
// first (ties keep their order). Scores must be "higher is better" and not
// negative; a chunk with a negative score keeps it. Returns new chunks; the
// input chunks are not modified.
vorn_core::ChunkList demote_by_kind(const vorn_core::ChunkList& ranked);

// The same on chunks the caller owns and whose kinds it knows already
// (kinds[i] of ranked[i]; no absent chunks): scores change in place.
void demote_owned(vorn_core::ChunkList& ranked, std::span<const ChunkKind> kinds);

}  // namespace vorn_retrieval
