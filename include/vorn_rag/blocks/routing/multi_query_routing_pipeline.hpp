// The multi-query routing block: decompose one query into sub-queries, check
// and cap them, and let a router name a route for each. The result is a
// routing plan; the block does not run the routes.
//
// The block holds configuration only and never changes it; `build()`
// returns a new `vorn_pipeline::Pipeline` on every call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_pipeline/router.hpp"
#include "vorn_rag/blocks/routing/types.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_rag::blocks::routing {

// What to do when the decomposer yields no sub-queries. A policy is a string
// restricted to PASSTHROUGH and ERROR; the text is kept as given and compared
// by string equality, so the block's constructor is what refuses any other
// text.
class OnEmptyDecompositionPolicy {
 public:
  // The original query becomes the only sub-query, with a warning.
  static constexpr std::string_view PASSTHROUGH = "passthrough";
  // The run fails with `RAGRuntimeError`.
  static constexpr std::string_view ERROR = "error";

  OnEmptyDecompositionPolicy(std::string value) : value_(std::move(value)) {}
  OnEmptyDecompositionPolicy(const char* value) : value_(value) {}
  OnEmptyDecompositionPolicy(std::string_view value) : value_(value) {}

  const std::string& value() const noexcept { return value_; }

  friend bool operator==(const OnEmptyDecompositionPolicy&, const OnEmptyDecompositionPolicy&) = default;
  friend bool operator==(const OnEmptyDecompositionPolicy& policy, std::string_view text) noexcept {
    return policy.value_ == text;
  }

 private:
  std::string value_;
};

namespace multi_query_routing_pipeline {
// The module's policy constants.
inline constexpr std::string_view PASSTHROUGH = OnEmptyDecompositionPolicy::PASSTHROUGH;
inline constexpr std::string_view ERROR = OnEmptyDecompositionPolicy::ERROR;
}  // namespace multi_query_routing_pipeline

class MultiQueryRoutingPipeline {
 public:
  // Checks, in this order: `max_sub_queries` >= 1, the policy, the decomposer
  // is a `BaseQueryTransformer`, the router a `BaseRouter`. Throws
  // `RAGValueError` / `RAGTypeError`.
  MultiQueryRoutingPipeline(vorn_core::Value decomposer, vorn_core::Value router, std::int64_t max_sub_queries = 4,
                            OnEmptyDecompositionPolicy on_empty_decomposition = OnEmptyDecompositionPolicy::PASSTHROUGH);

  const vorn_retrieval::QueryTransformerPtr& decomposer() const noexcept;
  const std::shared_ptr<vorn_pipeline::BaseRouter>& router() const noexcept;
  std::int64_t max_sub_queries() const noexcept;
  const OnEmptyDecompositionPolicy& on_empty_decomposition() const noexcept;

  // decompose → normalize_decomposition → route_all; state type
  // `MultiQueryRoutingState`.
  vorn_pipeline::PipelinePtr build() const;

  // ---- internal operations (the built pipeline's steps call these) ----------
  // Routes the one sub-query under "sub_queries".
  vorn_core::Task<SubQueryRoute> _run_router_for_sub_query(vorn_core::Dict data) const;
  // The sub-queries after the empty-decomposition policy and the cap.
  std::vector<std::string> _normalize_decomposition(const vorn_core::Dict& data) const;
  // Any decomposer output as a list of strings: a list, or a one-shot
  // iterable consumed once; a string, a mapping or a non-iterable is refused.
  static std::vector<std::string> _normalize_sub_queries(const vorn_core::Value& value);

  struct Config;  // shared with built pipelines

 private:
  std::shared_ptr<const Config> config_;
};

}  // namespace vorn_rag::blocks::routing
