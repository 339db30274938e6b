// RAG strategy implementations.
#pragma once

#include <array>
#include <string_view>

#include "vorn_rag/strategies/crag.hpp"
#include "vorn_rag/strategies/map_reduce_rag.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"
#include "vorn_rag/strategies/routed_strategy.hpp"

namespace vorn_rag::strategies {

inline constexpr std::string_view description = "RAG strategy implementations.";

inline constexpr std::array<std::string_view, 4> public_names = {
    "CRAG", "MapReduceRAG", "NaiveRAG", "RoutedStrategy",
};

}  // namespace vorn_rag::strategies
