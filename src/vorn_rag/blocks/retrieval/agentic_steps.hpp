// The steps of the pipelines the agentic retrieval block builds. Each reports
// itself as a transform with the block's pass-through error handler; it reads
// its inputs from the state (or the run context) in place, and a stage or the
// retriever is the task the runner awaits, with no coroutine of the step's
// own.
#pragma once

#include <memory>

#include "vorn_core/value.hpp"
#include "vorn_pipeline/step.hpp"
#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"

namespace vorn_rag::blocks::retrieval::agentic_retrieval_pipeline {

using ConfigPtr = std::shared_ptr<AgenticRetrievalPipeline::Config>;

// Writes the counters and the round's fields from the configuration
// (`_NORMALIZED_STATE_OUTPUTS`), whatever the initial state held.
vorn_pipeline::StepPtr normalize_state_step(ConfigPtr config);
// The retriever on `query` with the state's `top_k`, into `candidate_chunks`.
vorn_pipeline::StepPtr retrieve_step(ConfigPtr config);
// The selector on (query, chunks: the candidates, selected_chunk_limit),
// into `selected_chunks`.
vorn_pipeline::StepPtr select_step(ConfigPtr config);
// The evaluator on (query, chunks: the selection), into `evaluation`.
vorn_pipeline::StepPtr evaluate_step(ConfigPtr config);
// `_prepare_retry` into `round_idx` and `top_k`.
vorn_pipeline::StepPtr prepare_retry_step(ConfigPtr config);
// Applies the terminal policy to `selected_chunks`.
vorn_pipeline::StepPtr finalize_step(ConfigPtr config);

// Refuses (`RAGValueError`) anything but a list whose every element is a chunk.
void require_chunk_list(const vorn_core::Value& payload);

}  // namespace vorn_rag::blocks::retrieval::agentic_retrieval_pipeline
