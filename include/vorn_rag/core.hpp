// Core module for vorn-rag.
// This module contains the foundational components for building RAG strategies.
#pragma once

#include <array>
#include <string_view>

#include "vorn_rag/core/composite_strategy.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/core/strategy.hpp"
#include "vorn_rag/core/uses.hpp"

namespace vorn_rag::core {

inline constexpr std::string_view description =
    "Core module for vorn-rag.\nThis module contains the foundational components for building RAG strategies.";

inline constexpr std::array<std::string_view, 5> public_names = {
    "CompositeStrategy", "Strategy", "StrategyMeta", "StrategyState", "uses",
};

}  // namespace vorn_rag::core
