// The agentic retrieval block: retrieve candidates, let a selector stage
// choose among them, let an evaluator stage judge the choice, and retry with
// a linearly larger candidate count while the evidence is insufficient, for
// a bounded number of rounds.
//
// The block holds configuration only; `build()` materialises a new
// `vorn_pipeline::Pipeline` each call. Built pipelines share the block's
// configuration, so a change made after `build()` is seen by later runs. The
// configuration is guarded by a mutex: one thread may reconfigure while
// another runs a built pipeline.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "vorn_core/chunk.hpp"
#include "vorn_core/string_enum.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_rag/blocks/retrieval/types.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_rag::blocks::retrieval {

namespace agentic_retrieval_pipeline {

// What the block returns when the loop ends without sufficient evidence.
// A string enumeration: each member equals its string value.
enum class OnInsufficientPolicy {
  BEST_EFFORT,  // "best_effort": keep the chunks selected in the final round
  EMPTY,        // "empty": return an empty chunk list
};

inline constexpr vorn_core::StringEnum<OnInsufficientPolicy, 2> kOnInsufficientPolicy{
    "OnInsufficientPolicy",
    {{{OnInsufficientPolicy::BEST_EFFORT, "best_effort"}, {OnInsufficientPolicy::EMPTY, "empty"}}}};

constexpr std::string_view to_string(OnInsufficientPolicy policy) noexcept { return kOnInsufficientPolicy.value(policy); }
// Members equal their string values.
constexpr bool operator==(OnInsufficientPolicy policy, std::string_view text) noexcept {
  return to_string(policy) == text;
}

// A stage is held as a dynamic value so that how it is called is decided by
// what the object really is when the stage runs. Admitted kinds, in order of
// precedence: SelectorStage: Component, LMRequestProcessor, Callable;
// EvaluatorStage: Component, LMRequestProcessor, Pipeline, Callable.
using SelectorStage = vorn_core::Value;
using EvaluatorStage = vorn_core::Value;

}  // namespace agentic_retrieval_pipeline

class AgenticRetrievalPipeline {
 public:
  using OnInsufficientPolicy = agentic_retrieval_pipeline::OnInsufficientPolicy;
  // A policy member, or any value looked up by its string value.
  using OnInsufficientArg = std::variant<OnInsufficientPolicy, vorn_core::Value>;

  // Every constructor argument by name.
  struct Options {
    vorn_retrieval::RetrieverPtr retriever;
    agentic_retrieval_pipeline::SelectorStage selector;
    agentic_retrieval_pipeline::EvaluatorStage evaluator;
    std::int64_t max_rounds = 2;
    std::int64_t top_k = 10;
    std::optional<std::int64_t> max_top_k;
    std::int64_t selected_chunk_limit = 5;
    OnInsufficientArg on_insufficient = OnInsufficientPolicy::BEST_EFFORT;
  };

  // Validates eagerly; throws `RAGValueError` / `RAGTypeError`. The
  // retriever's type is not checked, and an absent retriever is reported
  // when a run reaches it.
  AgenticRetrievalPipeline(vorn_retrieval::RetrieverPtr retriever, agentic_retrieval_pipeline::SelectorStage selector,
                           agentic_retrieval_pipeline::EvaluatorStage evaluator, std::int64_t max_rounds = 2,
                           std::int64_t top_k = 10, std::optional<std::int64_t> max_top_k = std::nullopt,
                           std::int64_t selected_chunk_limit = 5,
                           OnInsufficientArg on_insufficient = OnInsufficientPolicy::BEST_EFFORT);
  explicit AgenticRetrievalPipeline(Options options);

  // Built pipelines keep the configuration alive, not the block; copying a
  // block would silently share it, so blocks are neither copied nor moved.
  AgenticRetrievalPipeline(const AgenticRetrievalPipeline&) = delete;
  AgenticRetrievalPipeline& operator=(const AgenticRetrievalPipeline&) = delete;

  // ---- public attributes (read at the time of use; setters do not validate) ----
  vorn_retrieval::RetrieverPtr retriever() const;
  void set_retriever(vorn_retrieval::RetrieverPtr retriever);
  agentic_retrieval_pipeline::SelectorStage selector() const;
  void set_selector(agentic_retrieval_pipeline::SelectorStage selector);
  agentic_retrieval_pipeline::EvaluatorStage evaluator() const;
  void set_evaluator(agentic_retrieval_pipeline::EvaluatorStage evaluator);
  std::int64_t max_rounds() const;
  void set_max_rounds(std::int64_t max_rounds);
  std::int64_t top_k() const;
  void set_top_k(std::int64_t top_k);
  std::optional<std::int64_t> max_top_k() const;
  void set_max_top_k(std::optional<std::int64_t> max_top_k);
  std::int64_t selected_chunk_limit() const;
  void set_selected_chunk_limit(std::int64_t selected_chunk_limit);
  OnInsufficientPolicy on_insufficient() const;
  void set_on_insufficient(OnInsufficientPolicy on_insufficient);

  // normalize_state, loop(retrieve, select, evaluate, prepare_retry),
  // finalize; state type `AgenticRetrievalState`. A new pipeline per call.
  vorn_pipeline::PipelinePtr build() const;

  struct Config;  // shared with built pipelines

 private:
  std::shared_ptr<Config> config_;
};

}  // namespace vorn_rag::blocks::retrieval
