// Response synthesizers: write the answer from a query and chunks.
#pragma once

#include <memory>
#include <string>

#include "vorn_core/callable.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_generation/lm_request_processor.hpp"

namespace vorn_generation {

class ResponseSynthesizer : public vorn_core::Component {
 public:
  // The answer: text, or absent.
  virtual vorn_core::Task<vorn_core::Value> synthesize(std::string query, vorn_core::ChunkList chunks) = 0;
  // Step inputs: query, chunks.
  vorn_core::Task<vorn_core::Value> run(vorn_core::Dict inputs) override;

  // "Stuff" synthesis: every chunk goes into the prompt's `{context}` (as
  // "[id] content" blocks) and the question into `{query}`; the model's
  // response text is the answer. Throws `ValueError` for an absent processor.
  static std::shared_ptr<ResponseSynthesizer> stuff(LMRequestProcessorPtr lm_request_processor);
};
using ResponseSynthesizerPtr = std::shared_ptr<ResponseSynthesizer>;

// The `{context}` text that stuff synthesis builds from chunks.
std::string format_context(const vorn_core::ChunkList& chunks);

}  // namespace vorn_generation
