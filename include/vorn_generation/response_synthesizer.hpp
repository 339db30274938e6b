// Response synthesizers: write the answer from a query and chunks.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "vorn_core/callable.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_generation/context_budget.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_inference/lm_invoker.hpp"

namespace vorn_generation {

struct StuffOptions {
  // Largest prompt, in bytes over every message; 0: no limit. Chunks that
  // do not fit are shortened or dropped, lowest-ranked first
  // (`fit_context`); the question and the templates always go in whole.
  std::size_t max_prompt_bytes = 0;
  // Receives the answer's text as the model produces it (streamed from an
  // endpoint that can; at once from one that cannot), on the running
  // loop's thread, before `synthesize` returns the whole answer. Every run
  // through this synthesizer feeds the same sink: give each concurrent
  // caller that wants its own stream its own synthesizer (they are cheap).
  vorn_inference::TextSink on_text;
  // Told what the budget cut, once per answer where it cut something; a
  // warning is logged (logger "vorn_generation") either way.
  std::function<void(const ContextCut&)> on_context_cut;
};

// Thread safety: instances are shared by concurrent runs; implementations must be safe for concurrent calls.
class ResponseSynthesizer : public vorn_core::Component {
 public:
  // The answer: text, or absent.
  virtual vorn_core::Task<vorn_core::Value> synthesize(std::string query, vorn_core::ChunkList chunks) = 0;
  // Step inputs: query, chunks.
  vorn_core::Task<vorn_core::Value> run(vorn_core::Dict inputs) override;

  // "Stuff" synthesis: every chunk goes into the prompt's `{context}` (as
  // "[id] content" blocks) and the question into `{query}`; the model's
  // response text is the answer. Throws `ValueError` for an absent processor.
  static std::shared_ptr<ResponseSynthesizer> stuff(LMRequestProcessorPtr lm_request_processor,
                                                    StuffOptions options = {});
};
using ResponseSynthesizerPtr = std::shared_ptr<ResponseSynthesizer>;

// The `{context}` text that stuff synthesis builds from chunks.
std::string format_context(const vorn_core::ChunkList& chunks);

}  // namespace vorn_generation
