#include "vorn_retrieval/page_diversity.hpp"

#include <unordered_map>

namespace vorn_retrieval {

std::string page_of(const vorn_core::Chunk& chunk) {
  if (const vorn_core::Value* source = chunk.metadata.find("source"); source && source->is_string()) {
    return source->as_string();
  }
  return chunk.id.substr(0, chunk.id.find('#'));
}

vorn_core::ChunkList diversify_by_page(const vorn_core::ChunkList& ranked, std::size_t per_page) {
  vorn_core::ChunkList first;
  vorn_core::ChunkList later;
  first.reserve(ranked.size());
  std::unordered_map<std::string, std::size_t> seen;
  for (const auto& chunk : ranked) {
    if (!chunk) continue;
    if (per_page == 0 || seen[page_of(*chunk)]++ < per_page) {
      first.push_back(chunk);
    } else {
      later.push_back(chunk);
    }
  }
  first.insert(first.end(), later.begin(), later.end());
  return first;
}

}  // namespace vorn_retrieval
