// `CRAG`, the Corrective RAG strategy: retrieve, let an optional relevance
// evaluator judge the retrieved chunks, and answer on one of three paths:
//
//   retrieve -> decide_retrieval_route -> route_by_retrieval_decision
//     relevant:   [relevant_rerank]  -> relevant_synthesize    (from `chunks`)
//     irrelevant: [web_retrieve] -> [irrelevant_rerank] -> irrelevant_synthesize
//     ambiguous:  [ambiguous_rerank] -> ambiguous_synthesize   (from `filtered_chunks`)
//     otherwise:  raise_unexpected_route (RAGRuntimeError, passed through unwrapped)
//
// The constructor accepts absent components on purpose (callers may wire a
// strategy before its parts exist); a run that reaches an absent component
// fails in that step with the framework's wrapped error, never a crash.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vorn_core/chunk.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_rag/core/strategy.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_rag::strategies {

namespace crag {

// A retrieval judgement: one of the three constants below. It is plain text
// because the state field that holds it is text, and a subclass may answer
// other values (which end on the default path).
using Decision = std::string;

inline constexpr const char* RELEVANT = "relevant";
inline constexpr const char* IRRELEVANT = "irrelevant";
inline constexpr const char* AMBIGUOUS = "ambiguous";

// What the decision hook answers: the decision (absent when a subclass gives
// none) and the chunks the evaluator kept.
using DecisionResult = std::pair<std::optional<Decision>, vorn_core::ChunkList>;

}  // namespace crag

class CRAG : public core::Strategy {
 public:
  VORN_STRATEGY_CLASS(CRAG)

  // Neither component is checked here (see the file comment).
  CRAG(vorn_retrieval::RetrieverPtr retriever, vorn_generation::ResponseSynthesizerPtr response_synthesizer);

  // Typed builders and accessors over the generated slot members.
  CRAG& with_relevance_evaluator(vorn_retrieval::RelevanceFilterPtr relevance_evaluator);
  CRAG& with_web_retriever(vorn_retrieval::RetrieverPtr web_retriever);
  CRAG& with_reranker(vorn_retrieval::RerankerPtr reranker);
  vorn_retrieval::RelevanceFilterPtr relevance_evaluator() const;
  vorn_retrieval::RetrieverPtr web_retriever() const;
  vorn_retrieval::RerankerPtr reranker() const;

  // The decision rule. Without an evaluator every retrieval is relevant;
  // otherwise only the count of kept chunks decides: none -> irrelevant,
  // as many as given -> relevant, anything else -> ambiguous. Virtual so a
  // subclass can judge differently (or answer decisions no path handles).
  virtual vorn_core::Task<crag::DecisionResult> _decide_retrieval(std::string query, vorn_core::ChunkList chunks);

  // The Decide step's operation: `data["query"]` (text) and `data["chunks"]`
  // (missing or absent counts as empty) handed to `_decide_retrieval`.
  vorn_core::Task<crag::DecisionResult> _route_decision_op(vorn_core::Dict data);

  // The default path's operation: always raises `RAGRuntimeError` naming
  // `data["retrieval_decision"]` in its text form.
  [[noreturn]] static vorn_core::Value _unexpected_route_op(vorn_core::Dict data);

  // One generate path: "<prefix>_rerank" (with a reranker; its output
  // replaces `chunks`) then "<prefix>_synthesize" reading `chunks` after a
  // rerank, else `chunk_state`.
  std::vector<vorn_pipeline::StepPtr> _build_generate_steps(std::string chunk_state, std::string prefix) const;

 protected:
  // For subclasses that register a class of their own.
  CRAG(core::StrategyClassPtr strategy_class, vorn_retrieval::RetrieverPtr retriever,
       vorn_generation::ResponseSynthesizerPtr response_synthesizer);

  core::PipelinePtr _build_pipeline() override;

 private:
  vorn_retrieval::RetrieverPtr _retriever;
  vorn_generation::ResponseSynthesizerPtr _response_synthesizer;
};
using CRAGPtr = std::shared_ptr<CRAG>;

}  // namespace vorn_rag::strategies
