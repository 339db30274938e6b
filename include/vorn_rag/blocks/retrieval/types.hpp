// The records the agentic retrieval block's state is made of. Each is a
// validated record (a `vorn_core::Schema`) with a typed C++ twin: pipelines
// and stages exchange records or mappings, the block's own code works on the
// structs.
#pragma once

#include <cstdint>
#include <string>

#include "vorn_core/chunk.hpp"
#include "vorn_core/record.hpp"
#include "vorn_core/value.hpp"

namespace vorn_rag::blocks::retrieval::detail {

// What the selector stage chose.
struct SelectionResult {
  vorn_core::ChunkList selected_chunks;  // required

  static const vorn_core::SchemaPtr& schema();
  // Validates a record of this schema or a mapping of its fields (elements
  // may be chunks or mappings that validate as chunks); throws
  // `vorn_core::ValidationError` for anything else.
  static SelectionResult from_value(const vorn_core::Value& payload);
  vorn_core::Value to_value() const;
};

// The evaluator stage's verdict on the selected chunks.
struct EvaluationResult {
  bool is_sufficient = false;  // required in a payload; false for a fresh state

  static const vorn_core::SchemaPtr& schema();
  // Same validation contract as `SelectionResult::from_value`.
  static EvaluationResult from_value(const vorn_core::Value& payload);
  vorn_core::Value to_value() const;
};

// The state of one agentic retrieval run. Field order of the schema:
// query, initial_top_k, top_k, max_rounds, selected_chunk_limit, round_idx,
// candidate_chunks, selected_chunks, evaluation.
struct AgenticRetrievalState {
  std::string query;  // required
  std::int64_t initial_top_k = 0;
  std::int64_t top_k = 0;
  std::int64_t max_rounds = 0;
  std::int64_t selected_chunk_limit = 0;
  std::int64_t round_idx = 0;
  vorn_core::ChunkList candidate_chunks;
  vorn_core::ChunkList selected_chunks;
  EvaluationResult evaluation;

  static const vorn_core::SchemaPtr& schema();
  static AgenticRetrievalState from_value(const vorn_core::Value& payload);
  vorn_core::Value to_value() const;
};

}  // namespace vorn_rag::blocks::retrieval::detail
