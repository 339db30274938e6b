// The package namespaces: what each umbrella makes available, in which order.
#include <gtest/gtest.h>

#include <algorithm>
#include <type_traits>

#include "vorn_rag/blocks.hpp"
#include "vorn_rag/blocks/retrieval.hpp"
#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"
#include "vorn_rag/blocks/routing.hpp"
#include "vorn_rag/core.hpp"
#include "vorn_rag/strategies.hpp"
#include "vorn_rag/vorn_rag.hpp"

namespace {

template <std::size_t N>
std::vector<std::string> as_vector(const std::array<std::string_view, N>& names) {
  return {names.begin(), names.end()};
}

TEST(PackageSurface, PublicListsInPublishedOrder) {
  EXPECT_EQ(as_vector(vorn_rag::public_names),
            (std::vector<std::string>{"BaseRAGError", "CompositeStrategy", "MultiQueryRoutingPipeline",
                                      "MultiQueryRoutingState", "OnEmptyDecompositionPolicy", "RAGNotImplementedError",
                                      "RAGRuntimeError", "RAGTypeError", "RAGValueError", "StateKeys", "Strategy",
                                      "StrategyMeta", "StrategyState", "SubQueryRoute", "SyncCallInEventLoopError",
                                      "query", "uses"}));
  EXPECT_EQ(as_vector(vorn_rag::core::public_names),
            (std::vector<std::string>{"CompositeStrategy", "Strategy", "StrategyMeta", "StrategyState", "uses"}));
  EXPECT_EQ(as_vector(vorn_rag::strategies::public_names),
            (std::vector<std::string>{"CRAG", "MapReduceRAG", "NaiveRAG", "RoutedStrategy"}));
  EXPECT_EQ(as_vector(vorn_rag::blocks::retrieval::public_names),
            (std::vector<std::string>{"AgenticRetrievalPipeline", "QueryExpansionPipeline", "fuse"}));
  EXPECT_EQ(as_vector(vorn_rag::blocks::public_names), as_vector(vorn_rag::blocks::routing::public_names));
}

TEST(PackageSurface, EveryListIsInPlainCharacterOrder) {
  auto sorted = [](auto names) { return std::is_sorted(names.begin(), names.end()); };
  EXPECT_TRUE(sorted(vorn_rag::public_names));
  EXPECT_TRUE(sorted(vorn_rag::core::public_names));
  EXPECT_TRUE(sorted(vorn_rag::strategies::public_names));
  EXPECT_TRUE(sorted(vorn_rag::blocks::public_names));
  EXPECT_TRUE(sorted(vorn_rag::blocks::retrieval::public_names));
  EXPECT_TRUE(sorted(vorn_rag::blocks::routing::public_names));
}

TEST(PackageSurface, ReExportsAreTheSameEntities) {
  static_assert(std::is_same_v<vorn_rag::Strategy, vorn_rag::core::Strategy>);
  static_assert(std::is_same_v<vorn_rag::CompositeStrategy, vorn_rag::core::CompositeStrategy>);
  static_assert(std::is_same_v<vorn_rag::StrategyState, vorn_rag::core::StrategyState>);
  static_assert(std::is_same_v<vorn_rag::MultiQueryRoutingPipeline, vorn_rag::blocks::routing::MultiQueryRoutingPipeline>);
  static_assert(std::is_same_v<vorn_rag::blocks::SubQueryRoute, vorn_rag::blocks::routing::detail::SubQueryRoute>);
  static_assert(std::is_same_v<vorn_rag::SubQueryRoute, vorn_rag::blocks::routing::SubQueryRoute>);
  static_assert(std::is_same_v<vorn_rag::OnEmptyDecompositionPolicy, vorn_rag::blocks::OnEmptyDecompositionPolicy>);
  EXPECT_EQ(&vorn_rag::uses, &vorn_rag::core::uses);
  EXPECT_EQ(&vorn_rag::query, static_cast<decltype(&vorn_rag::query)>(&vorn_rag::query));
  // OnInsufficientPolicy belongs to its module, not to the retrieval package.
  using Policy = vorn_rag::blocks::retrieval::agentic_retrieval_pipeline::OnInsufficientPolicy;
  static_assert(std::is_enum_v<Policy>);
}

}  // namespace
