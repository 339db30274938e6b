// Compiles only if the root umbrella leaves the strategies and the retrieval
// blocks out: declaring these names as templates would clash with an
// existing class or using-declaration of the same name.
#include <gtest/gtest.h>

#include "vorn_core/syncify.hpp"
#include "vorn_rag/vorn_rag.hpp"

namespace vorn_rag::strategies {
template <class>
struct NaiveRAG;
}  // namespace vorn_rag::strategies
namespace vorn_rag::blocks::retrieval {
template <class>
struct AgenticRetrievalPipeline;
}  // namespace vorn_rag::blocks::retrieval
namespace vorn_rag {
template <class>
struct NaiveRAG;
template <class>
struct AgenticRetrievalPipeline;
}  // namespace vorn_rag

namespace {

vorn_core::Task<vorn_core::Dict> call_root_query() { co_return co_await vorn_rag::query("", vorn_core::Value(), vorn_core::Value()); }

TEST(RootUmbrella, QueryIsTheLevelZeroEntry) {
  EXPECT_THROW(vorn_core::run_sync(call_root_query()), vorn_rag::RAGValueError);
  EXPECT_EQ(vorn_rag::description.substr(0, 52), "VORN RAG: Retrieval-Augmented Generation for Gen AI.");
}

}  // namespace
