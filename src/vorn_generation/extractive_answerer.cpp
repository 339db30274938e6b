#include "vorn_generation/extractive_answerer.hpp"

#include "vorn_core/error.hpp"

namespace vorn_generation {

ExtractiveAnswerer::ExtractiveAnswerer(vorn_inference::ExtractiveOptions options) : options_(options) {
  if (options_.max_sentences == 0) {
    throw vorn_core::InvalidValueError("Invalid `max_sentences` 0. Set it to 1 or more and retry.");
  }
}

vorn_inference::ExtractiveAnswer ExtractiveAnswerer::answer(std::string_view query,
                                                            const vorn_core::ChunkList& chunks) const {
  std::vector<vorn_inference::Passage> passages;
  passages.reserve(chunks.size());
  for (const auto& chunk : chunks) {
    if (!chunk) continue;
    vorn_inference::Passage p{chunk->id, chunk->content, {}};
    if (const vorn_core::Value* heading = chunk->metadata.find("heading"); heading && heading->is_string()) {
      p.heading = heading->as_string();
    }
    passages.push_back(std::move(p));
  }
  return vorn_inference::extract_answer(query, passages, options_);
}

vorn_core::Task<vorn_core::Value> ExtractiveAnswerer::synthesize(std::string query, vorn_core::ChunkList chunks) {
  co_return answer(query, chunks).text;
}

}  // namespace vorn_generation
