#include "vorn_generation/extractive_answerer.hpp"

#include "vorn_core/error.hpp"

namespace vorn_generation {

ExtractiveAnswerer::ExtractiveAnswerer(vorn_inference::ExtractiveOptions options) : options_(options) {
  vorn_inference::check_extractive_options(options_);
}

vorn_inference::ExtractiveAnswer ExtractiveAnswerer::answer(std::string_view query,
                                                            const vorn_core::ChunkList& chunks) const {
  std::vector<vorn_inference::Passage> passages;
  passages.reserve(chunks.size());
  for (const auto& chunk : chunks) {
    if (!chunk) continue;
    vorn_inference::Passage p{chunk->id, chunk->content, {}, {}};
    if (const vorn_core::Value* source = chunk->metadata.find("source"); source && source->is_string()) {
      p.page = source->as_string();
    }
    if (const vorn_core::Value* heading = chunk->metadata.find("heading"); heading && heading->is_string()) {
      p.heading = heading->as_string();
    }
    if (const vorn_core::Value* code = chunk->metadata.find("opens_in_code"); code && code->is_bool()) {
      p.opens_in_code = code->as_bool();
    }
    passages.push_back(std::move(p));
  }
  return vorn_inference::extract_answer(query, passages, options_);
}

vorn_core::Task<vorn_core::Value> ExtractiveAnswerer::synthesize(std::string query, vorn_core::ChunkList chunks) {
  co_return answer(query, chunks).text;
}

}  // namespace vorn_generation
