// VORN RAG: Retrieval-Augmented Generation for Gen AI.
// A library containing RAG pipeline builders and presets for Gen AI applications.
//
// The root umbrella: the typed errors, the state keys, the strategy core, the
// level-0 `query()` and the multi-query routing block. Strategies and
// retrieval blocks come with "vorn_rag/strategies.hpp" and
// "vorn_rag/blocks/retrieval.hpp".
#pragma once

#include <array>
#include <string_view>

#include "vorn_rag/blocks.hpp"
#include "vorn_rag/constants.hpp"
#include "vorn_rag/core.hpp"
#include "vorn_rag/exceptions.hpp"
#include "vorn_rag/query.hpp"

namespace vorn_rag {

using blocks::routing::MultiQueryRoutingPipeline;
using blocks::routing::MultiQueryRoutingState;
using blocks::routing::OnEmptyDecompositionPolicy;
using blocks::routing::SubQueryRoute;
using core::CompositeStrategy;
using core::Strategy;
using core::StrategyMeta;
using core::StrategyState;
using core::uses;

inline constexpr std::string_view description =
    "VORN RAG: Retrieval-Augmented Generation for Gen AI.\n"
    "A library containing RAG pipeline builders and presets for Gen AI applications.";

inline constexpr std::array<std::string_view, 17> public_names = {
    "BaseRAGError",
    "CompositeStrategy",
    "MultiQueryRoutingPipeline",
    "MultiQueryRoutingState",
    "OnEmptyDecompositionPolicy",
    "RAGNotImplementedError",
    "RAGRuntimeError",
    "RAGTypeError",
    "RAGValueError",
    "StateKeys",
    "Strategy",
    "StrategyMeta",
    "StrategyState",
    "SubQueryRoute",
    "SyncCallInEventLoopError",
    "query",
    "uses",
};

}  // namespace vorn_rag
