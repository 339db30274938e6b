// VORN RAG Blocks.
// Modular building blocks for constructing RAG pipelines.
#pragma once

#include <array>
#include <string_view>

#include "vorn_rag/blocks/routing.hpp"

namespace vorn_rag::blocks {

using routing::MultiQueryRoutingPipeline;
using routing::MultiQueryRoutingState;
using routing::OnEmptyDecompositionPolicy;
using routing::SubQueryRoute;

inline constexpr std::string_view description =
    "VORN RAG Blocks.\nModular building blocks for constructing RAG pipelines.";

inline constexpr std::array<std::string_view, 4> public_names = {
    "MultiQueryRoutingPipeline", "MultiQueryRoutingState", "OnEmptyDecompositionPolicy", "SubQueryRoute",
};

}  // namespace vorn_rag::blocks
