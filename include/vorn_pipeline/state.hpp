// The base state record of RAG pipelines.
#pragma once

#include "vorn_core/record.hpp"

namespace vorn_pipeline {

// Fields, in order: user_query (str, ""), queries (list[str], []),
// retrieval_params (dict, {}), chunks (list[Chunk], []), history (list, []),
// context (str, ""), response_synthesis_bundle (dict, {}), response (any,
// None), references (list, []), event_emitter (any, None).
struct RAGStateModel {
  static const vorn_core::SchemaPtr& schema();
};

}  // namespace vorn_pipeline
