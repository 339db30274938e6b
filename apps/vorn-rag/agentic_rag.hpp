// The agentic retrieval loop as a strategy: retrieve, select, judge the
// evidence and retry with more candidates, then answer from the selection.
#pragma once

#include <memory>

#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"
#include "vorn_rag/core/strategy.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_cli {

class AgenticRAG : public vorn_rag::core::Strategy {
 public:
  VORN_STRATEGY_CLASS(AgenticRAG)

  // Offline stages: the selector keeps the candidates that share enough of
  // the question's words (at most `selected_chunk_limit`); the evaluator
  // calls the evidence sufficient when the selection covers most of the
  // question's keywords.
  AgenticRAG(vorn_retrieval::RetrieverPtr retriever, vorn_generation::ResponseSynthesizerPtr synthesizer);

  const vorn_rag::blocks::retrieval::AgenticRetrievalPipeline& block() const noexcept { return *block_; }

 protected:
  vorn_rag::core::PipelinePtr _build_pipeline() override;

 private:
  std::shared_ptr<vorn_rag::blocks::retrieval::AgenticRetrievalPipeline> block_;
  vorn_generation::ResponseSynthesizerPtr synthesizer_;
};

}  // namespace vorn_cli
