// NaiveRAG: retrieve, optionally filter by relevance, optionally rerank,
// then synthesize the answer.
//   [QueryExpansionPipeline?] -> Retrieve -> [RelevanceFilter?] -> [Reranker?] -> Generate
#pragma once

#include <memory>

#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_rag/blocks/retrieval/query_expansion.hpp"
#include "vorn_rag/core/strategy.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_rag::strategies {

class NaiveRAG : public core::Strategy {
 public:
  VORN_STRATEGY_CLASS(NaiveRAG)

  // Throws `RAGValueError` for an absent retriever (checked first) or an
  // absent response synthesizer.
  NaiveRAG(vorn_retrieval::RetrieverPtr retriever, vorn_generation::ResponseSynthesizerPtr response_synthesizer);

  // Typed builders over the generated `with_<slot>` builders.
  NaiveRAG& with_query_expansion(blocks::retrieval::QueryExpansionPipelinePtr query_expansion);
  NaiveRAG& with_reranker(vorn_retrieval::RerankerPtr reranker);
  NaiveRAG& with_relevance_filter(vorn_retrieval::RelevanceFilterPtr relevance_filter);

  blocks::retrieval::QueryExpansionPipelinePtr query_expansion() const;
  vorn_retrieval::RerankerPtr reranker() const;
  vorn_retrieval::RelevanceFilterPtr relevance_filter() const;

  // Step builders; they read no instance state.
  static vorn_pipeline::StepPtr _build_retrieve_step(const blocks::retrieval::QueryExpansionPipelinePtr& query_expansion,
                                                     const vorn_retrieval::RetrieverPtr& retriever);
  static vorn_pipeline::StepPtr _build_filter_step(const vorn_retrieval::RelevanceFilterPtr& relevance_filter);
  static vorn_pipeline::StepPtr _build_rerank_step(const vorn_retrieval::RerankerPtr& reranker);
  static vorn_pipeline::StepPtr _build_synthesize_step(
      const vorn_generation::ResponseSynthesizerPtr& response_synthesizer);

 protected:
  core::PipelinePtr _build_pipeline() override;

 private:
  vorn_retrieval::RetrieverPtr retriever_;
  vorn_generation::ResponseSynthesizerPtr response_synthesizer_;
};
using NaiveRAGPtr = std::shared_ptr<NaiveRAG>;

}  // namespace vorn_rag::strategies
