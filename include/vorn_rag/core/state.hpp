// The state record of every strategy pipeline.
#pragma once

#include "vorn_core/record.hpp"
#include "vorn_core/value.hpp"

namespace vorn_rag::core {

// Extends `RAGStateModel` with four optional fields, each absent by default:
// query_filter (any), retrieval_decision (str), filtered_chunks
// (list[Chunk]), routed_branch (str).
struct StrategyState {
  static const vorn_core::SchemaPtr& schema();
  // Validated construction from named field values.
  static vorn_core::RecordPtr make(const vorn_core::Dict& values = {});
};

}  // namespace vorn_rag::core
