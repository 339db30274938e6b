// MapReduceRAG: expand the question into several queries, retrieve once per
// query (map), fuse the per-query lists (reduce), optionally rerank, answer.
//   Expand query -> Retrieve and fuse (map_reduce) -> [Reranker?] -> Generate
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "vorn_core/callable.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_rag/core/strategy.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_rag::strategies {

class MapReduceRAG : public core::Strategy {
 public:
  VORN_STRATEGY_CLASS(MapReduceRAG)

  // Checks, in order: transformer, retriever, response synthesizer present
  // (`RAGValueError`); `fuse_fn` resolved (what `resolve_fusion_fn` raises);
  // `top_k` at least 1 (`RAGValueError`).
  MapReduceRAG(vorn_retrieval::QueryTransformerPtr transformer, vorn_retrieval::RetrieverPtr retriever,
               vorn_generation::ResponseSynthesizerPtr response_synthesizer, const vorn_core::Value& fuse_fn = "rrf",
               std::int64_t top_k = 5);

  // `top_k` not given, or absent, means the constructor's `top_k` (also when
  // called through a `Strategy&`); the effective value is validated before
  // anything runs.
  vorn_core::Dict run(std::string question, std::optional<vorn_core::Value> top_k = std::nullopt,
                      vorn_core::Dict options = {}) override;
  vorn_core::Task<vorn_core::Dict> arun(std::string question, std::optional<vorn_core::Value> top_k = std::nullopt,
                                        vorn_core::Dict options = {}) override;

  MapReduceRAG& with_reranker(vorn_retrieval::RerankerPtr reranker);
  vorn_retrieval::RerankerPtr reranker() const;

  // `top_k` unchanged when it is 1 or more; `RAGValueError` "Invalid
  // <argument_name>. Set it to 1 or more and retry." when below 1;
  // `RAGTypeError` when it is not a number.
  static vorn_core::Value _validate_top_k(vorn_core::Value top_k, std::string_view argument_name);

  std::int64_t _top_k() const noexcept { return top_k_; }
  const vorn_core::CallablePtr& _fusion_fn() const noexcept { return fusion_fn_; }

 protected:
  core::PipelinePtr _build_pipeline() override;

 private:
  vorn_core::Value effective_top_k(vorn_core::Value top_k) const;

  vorn_retrieval::QueryTransformerPtr transformer_;
  vorn_retrieval::RetrieverPtr retriever_;
  vorn_generation::ResponseSynthesizerPtr response_synthesizer_;
  vorn_core::CallablePtr fusion_fn_;
  std::int64_t top_k_ = 5;
};
using MapReduceRAGPtr = std::shared_ptr<MapReduceRAG>;

}  // namespace vorn_rag::strategies
