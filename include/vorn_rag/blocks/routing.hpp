// Multi-query routing blocks for VORN RAG.
#pragma once

#include <array>
#include <string_view>

#include "vorn_rag/blocks/routing/types.hpp"
#include "vorn_rag/blocks/routing/multi_query_routing_pipeline.hpp"

namespace vorn_rag::blocks::routing {

inline constexpr std::string_view description = "Multi-query routing blocks for VORN RAG.";

inline constexpr std::array<std::string_view, 4> public_names = {
    "MultiQueryRoutingPipeline", "MultiQueryRoutingState", "OnEmptyDecompositionPolicy", "SubQueryRoute",
};

}  // namespace vorn_rag::blocks::routing
