// Retrieval blocks for VORN RAG.
// Convenience functions and utilities for retrieval pipeline steps.
#pragma once

#include <array>
#include <string_view>

#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"
#include "vorn_rag/blocks/retrieval/query_expansion.hpp"
#include "vorn_rag/blocks/retrieval/steps.hpp"

namespace vorn_rag::blocks::retrieval {

inline constexpr std::string_view description =
    "Retrieval blocks for VORN RAG.\nConvenience functions and utilities for retrieval pipeline steps.";

inline constexpr std::array<std::string_view, 3> public_names = {
    "AgenticRetrievalPipeline", "QueryExpansionPipeline", "fuse",
};

}  // namespace vorn_rag::blocks::retrieval
