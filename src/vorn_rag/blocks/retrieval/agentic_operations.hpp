// The agentic retrieval block's internal operations: what the steps of the
// pipelines it builds run (agentic_retrieval_pipeline.hpp holds the
// contract). Declared here so that the tests can reach them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "vorn_core/chunk.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_rag/blocks/retrieval/types.hpp"

namespace vorn_rag::blocks::retrieval::agentic_retrieval_pipeline {

// State keys; each names an `AgenticRetrievalState` field.
inline constexpr const char* _STATE_QUERY = "query";
inline constexpr const char* _STATE_TOP_K = "top_k";
inline constexpr const char* _STATE_INITIAL_TOP_K = "initial_top_k";
inline constexpr const char* _STATE_ROUND_IDX = "round_idx";
inline constexpr const char* _STATE_MAX_ROUNDS = "max_rounds";
inline constexpr const char* _STATE_SELECTED_CHUNK_LIMIT = "selected_chunk_limit";
inline constexpr const char* _STATE_CANDIDATE_CHUNKS = "candidate_chunks";
inline constexpr const char* _STATE_SELECTED_CHUNKS = "selected_chunks";
inline constexpr const char* _STATE_EVALUATION = "evaluation";

// Output keys of the first step, in the order it returns its values.
inline constexpr std::array<const char*, 8> _NORMALIZED_STATE_OUTPUTS{
    _STATE_INITIAL_TOP_K,       _STATE_TOP_K,           _STATE_ROUND_IDX,          _STATE_MAX_ROUNDS,
    _STATE_SELECTED_CHUNK_LIMIT, _STATE_CANDIDATE_CHUNKS, _STATE_SELECTED_CHUNKS, _STATE_EVALUATION};

void _validate_numeric_limits(std::int64_t max_rounds, std::int64_t top_k, std::optional<std::int64_t> max_top_k,
                              std::int64_t selected_chunk_limit);
// Throws `RAGTypeError` unless `stage` is of a kind the stage admits.
void _validate_stage_type(const std::string& stage_name, const vorn_core::Value& stage, bool allow_pipeline);
// Calls a stage that is not a plain Component (processors, pipelines,
// callables), by the stage invocation precedence.
vorn_core::Task<vorn_core::Value> _invoke_stage(std::string stage_name, vorn_core::Value stage, vorn_core::Dict kwargs,
                                                bool allow_pipeline);

vorn_core::ChunkList _normalize_retrieved_chunks(const vorn_core::Value& payload);
detail::SelectionResult _normalize_selection(const vorn_core::Value& payload);
detail::EvaluationResult _normalize_evaluation(const vorn_core::Value& payload);

bool _should_continue_loop(const vorn_core::Dict& state);
// (round_idx, top_k) for the next pass; `top_k` grows by the initial count,
// capped by `max_top_k`, and saturates at the largest int64 instead of
// overflowing. `initial_top_k` is read only when there is a next pass.
std::pair<std::int64_t, std::int64_t> _prepare_retry(std::optional<std::int64_t> max_top_k,
                                                     const vorn_core::Value& evaluation,
                                                     const vorn_core::Value& round_idx, const vorn_core::Value& top_k,
                                                     const vorn_core::Value& initial_top_k);
// The same over a mapping holding those four entries.
std::pair<std::int64_t, std::int64_t> _prepare_retry(std::optional<std::int64_t> max_top_k, const vorn_core::Dict& data);

}  // namespace vorn_rag::blocks::retrieval::agentic_retrieval_pipeline
