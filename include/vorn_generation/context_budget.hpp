// Fitting retrieved chunks into a prompt of bounded size.
//
// Chunks arrive best first. They are kept whole while they fit; the first
// one that does not fit is shortened to the room left (when that room is
// worth a passage), and every chunk after it is dropped. So the
// lowest-ranked chunks are always the ones cut, and a `top_k` far beyond
// the index cannot make a prompt grow past the budget.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "vorn_core/chunk.hpp"

namespace vorn_generation {

// What fitting the chunks cut; empty lists when everything fitted.
struct ContextCut {
  // Room the context had, in bytes.
  std::size_t budget = 0;
  // Ids of chunks kept with their content shortened (at most one).
  std::vector<std::string> shortened;
  // Ids of chunks left out, in rank order.
  std::vector<std::string> dropped;
  // Bytes of chunk content that did not make it into the prompt.
  std::size_t bytes_removed = 0;

  bool empty() const noexcept { return shortened.empty() && dropped.empty(); }
  // One line for logs and traces: "context budget 4000 bytes: shortened
  // [c3], dropped 2 chunks [c4, c5] (1234 bytes left out)".
  std::string describe() const;
};

struct FittedContext {
  vorn_core::ChunkList chunks;
  ContextCut cut;
};

// The chunks whose `format_context` text takes at most `budget` bytes,
// following the rule above. A shortened chunk is a copy (the caller's chunk
// is not changed) whose content ends in " [...]" and is cut on a UTF-8
// boundary. Absent chunks are skipped.
FittedContext fit_context(const vorn_core::ChunkList& chunks, std::size_t budget);

}  // namespace vorn_generation
