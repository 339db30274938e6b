// A relevance filter that asks a language model which retrieved chunks help
// answer the query.
//
// The chunks go into the prompt as numbered passages ("[1] ...", "[2] ...")
// and the model answers {"relevant": ["2", "5"]}: short labels it cannot
// garble the way it can garble long chunk ids, checked against the labels
// it was shown (the schema lists them as an enum). The kept chunks stay in
// their retrieval order.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "vorn_core/value.hpp"
#include "vorn_generation/prompt_builder.hpp"
#include "vorn_inference/lm_invoker.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_generation {

struct LMRelevanceFilterOptions {
  static constexpr const char* kDefaultSystemPrompt =
      "You judge passages that a search engine retrieved for a question. A passage is relevant when it states "
      "information that answers the question or a necessary part of it. A passage that only shares words or a "
      "topic with the question is not relevant. Judge each passage on its own content; do not answer the "
      "question.";
  static constexpr const char* kDefaultUserPrompt =
      "Question:\n{query}\n\nPassages:\n{passages}\n\nGive the labels of all relevant passages in `relevant`; "
      "give an empty list when none is relevant.";

  // Templates; the user prompt receives {query} and {passages}.
  std::string system_prompt = kDefaultSystemPrompt;
  std::string user_prompt = kDefaultUserPrompt;
  // Longest chunk text put into the prompt (longer ones are cut); 0: no limit.
  std::size_t max_chars_per_chunk = 2000;
};

class LMRelevanceFilter : public vorn_retrieval::BaseRelevanceFilter {
 public:
  // Throws `ValueError` for an absent invoker and `KeyError` for a template
  // placeholder other than {query} and {passages}.
  explicit LMRelevanceFilter(vorn_inference::LMInvokerPtr lm_invoker, LMRelevanceFilterOptions options = {});

  // One model call per non-empty chunk list (none for an empty one). Throws
  // `StructuredOutputError` when the model gives no {"relevant": [...]}
  // answer or names a label it was not shown, and whatever the invoker
  // throws.
  vorn_core::Task<vorn_core::ChunkList> filter(vorn_core::ChunkList chunks, std::string query) override;

  // The answer schema for `passages` passages labelled "1" to "<passages>".
  static vorn_core::Value response_schema(std::size_t passages);

  const vorn_inference::LMInvokerPtr& lm_invoker() const noexcept { return lm_invoker_; }
  const LMRelevanceFilterOptions& options() const noexcept { return options_; }
  std::string type_name() const override { return "LMRelevanceFilter"; }

 private:
  vorn_inference::LMInvokerPtr lm_invoker_;
  LMRelevanceFilterOptions options_;
  PromptBuilderPtr prompt_builder_;
};

}  // namespace vorn_generation
