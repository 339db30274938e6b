// A query transformer that asks a language model to rewrite a query into
// several search queries (expansion for multi-query retrieval, or
// decomposition of a compound question).
//
// The model answers {"queries": [...]}; the queries come back trimmed,
// without empty entries or repeats, at most `max_queries` of them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "vorn_core/value.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_inference/lm_invoker.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_generation {

struct LMQueryTransformerOptions {
  static constexpr const char* kDefaultSystemPrompt =
      "You turn a user's question into search queries for a document retrieval system. Each query must be "
      "self-contained (no pronouns that refer to the question) and specific. When the question asks about several "
      "things, give one query per thing; otherwise give differently worded queries that reach the same "
      "information. Do not answer the question.";
  static constexpr const char* kDefaultUserPrompt =
      "Write at most {max_queries} search queries for this question:\n{query}";

  // Templates; the user prompt receives {query} and {max_queries}.
  std::string system_prompt = kDefaultSystemPrompt;
  std::string user_prompt = kDefaultUserPrompt;
  // Most queries returned; extra ones from the model are dropped.
  std::size_t max_queries = 3;
  // Put the original query first (it counts toward `max_queries`).
  bool include_original = false;
};

class LMQueryTransformer : public vorn_retrieval::BaseQueryTransformer {
 public:
  // Throws `ValueError` for an absent invoker or `max_queries` of 0, and
  // `KeyError` for a template placeholder other than {query} and
  // {max_queries}.
  explicit LMQueryTransformer(vorn_inference::LMInvokerPtr lm_invoker, LMQueryTransformerOptions options = {});

  // A list of query strings, possibly empty (the model found nothing to
  // search for; callers decide what that means). Throws
  // `StructuredOutputError` when the model gives no {"queries": [...]}
  // answer or a query that is not a string, and whatever the invoker throws.
  vorn_core::Task<vorn_core::Value> transform(std::string query) override;

  static vorn_core::Value response_schema();

  const vorn_inference::LMInvokerPtr& lm_invoker() const noexcept { return lm_invoker_; }
  const LMQueryTransformerOptions& options() const noexcept { return options_; }
  std::string type_name() const override { return "LMQueryTransformer"; }

 private:
  vorn_inference::LMInvokerPtr lm_invoker_;
  LMQueryTransformerOptions options_;
  LMRequestProcessorPtr processor_;
};

}  // namespace vorn_generation
