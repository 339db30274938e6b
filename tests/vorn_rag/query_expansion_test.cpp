// The query-expansion block: construction, the pipeline it builds, and runs.
#include <gtest/gtest.h>

#include "rag_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_rag/blocks/retrieval/query_expansion.hpp"
#include "vorn_rag/blocks/retrieval/utils.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/exceptions.hpp"

namespace {

using namespace rag_test;
using vorn_pipeline::StepKind;
using vorn_rag::blocks::retrieval::QueryExpansionPipeline;
using vorn_rag::blocks::retrieval::query_expansion::_QueryExpansionState;
using vorn_rag::blocks::retrieval::query_expansion::_RETRIEVER_NONE_MSG;
namespace utils = vorn_rag::blocks::retrieval::utils;

std::vector<std::pair<std::string, StepKind>> steps_of(const vorn_pipeline::Pipeline& p) {
  std::vector<std::pair<std::string, StepKind>> out;
  for (const auto& s : p.describe()) out.emplace_back(s.name, s.kind);
  return out;
}

// Answers per query: "q1" -> [a, b], "q2" -> [b, c].
std::shared_ptr<RecordingRetriever> two_query_retriever() {
  auto r = std::make_shared<RecordingRetriever>();
  r->answer_for = [](const std::string& q) { return q == "q1" ? make_chunks({"a", "b"}) : make_chunks({"b", "c"}); };
  return r;
}

Dict run(const vorn_pipeline::PipelinePtr& p, Dict state, Dict context = {}) {
  return vorn_core::run_sync(p->invoke(Value(std::move(state)), std::move(context)));
}

TEST(QueryExpansionConstruction, ResolvesTheFusionSelectorAtOnce) {
  auto t = std::make_shared<FixedTransformer>();
  EXPECT_EQ(QueryExpansionPipeline(t)._fusion_fn(), utils::rrf_fusion_fn());
  EXPECT_EQ(QueryExpansionPipeline(t, "concat")._fusion_fn(), utils::concat_fusion_fn());
  EXPECT_THROW(QueryExpansionPipeline(t, "RRF"), vorn_rag::RAGValueError);
  EXPECT_THROW(QueryExpansionPipeline(t, Value(7)), vorn_rag::RAGTypeError);
  EXPECT_EQ(QueryExpansionPipeline(t)._transformer(), t);
}

TEST(QueryExpansionBuild, AbsentRetrieverIsARuntimeError) {
  QueryExpansionPipeline block(std::make_shared<FixedTransformer>());
  try {
    block.build(nullptr);
    FAIL() << "nothing thrown";
  } catch (const vorn_rag::RAGRuntimeError& e) {
    EXPECT_STREQ(e.what(), _RETRIEVER_NONE_MSG);
    EXPECT_STREQ(_RETRIEVER_NONE_MSG, "Missing `retriever`. Pass a retriever to QueryExpansionPipeline and retry.");
  }
}

TEST(QueryExpansionBuild, EachBuildIsANewPipelineOfThreeSteps) {
  QueryExpansionPipeline block(std::make_shared<FixedTransformer>());
  auto retriever = std::make_shared<RecordingRetriever>();
  auto p1 = block.build(retriever);
  auto p2 = block.build(retriever);
  EXPECT_NE(p1, p2);
  const std::vector<std::pair<std::string, StepKind>> expected = {
      {"expand_query", StepKind::kComponent},
      {"retrieve_chunks", StepKind::kComponent},
      {"fuse_chunks", StepKind::kTransform},
  };
  EXPECT_EQ(steps_of(*p1), expected);
  EXPECT_EQ(p1->state_type(), _QueryExpansionState::schema());
}

TEST(QueryExpansionState, ExtendsStrategyStateWithChunkLists) {
  const auto& schema = _QueryExpansionState::schema();
  EXPECT_TRUE(schema->is_same_or_derived_from(*vorn_rag::core::StrategyState::schema()));
  const auto* field = schema->field("chunk_lists");
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->description, "Retrieved chunk lists, one per sub-query");
  EXPECT_EQ(schema->fields().back().name, "chunk_lists");
  auto record = _QueryExpansionState::make({{"user_query", "q"}});
  EXPECT_TRUE(record->get("chunk_lists").is_none());
  EXPECT_THROW(_QueryExpansionState::make({{"chunk_lists", List{Value(1)}}}), vorn_core::ValidationError);
}

TEST(QueryExpansionRun, ExpandsRetrievesInOneBatchAndFuses) {
  struct Case {
    const char* fuse_fn;
    std::vector<std::string> chunks;
  };
  // rrf: b = 1/62 + 1/61 leads a = 1/61, then c = 1/62.
  for (const Case& c : {Case{"rrf", {"b", "a", "c"}}, Case{"concat", {"a", "b", "c"}}}) {
    SCOPED_TRACE(c.fuse_fn);
    auto transformer = std::make_shared<FixedTransformer>(List{Value("q1"), Value("q2")});
    auto retriever = two_query_retriever();
    auto p = QueryExpansionPipeline(transformer, c.fuse_fn).build(retriever);
    Dict out = run(p, Dict{{"user_query", "question"}, {"query_filter", "F"}},
                   Dict{{"top_k", 4}, {"threshold", 0.25}});

    EXPECT_EQ(transformer->log.calls(), std::vector<std::string>{"question"});
    auto calls = retriever->log.calls();
    ASSERT_EQ(calls.size(), 2u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].query, i == 0 ? "q1" : "q2");
      EXPECT_EQ(calls[i].options.top_k, 4);
      EXPECT_EQ(calls[i].options.threshold, 0.25);
      EXPECT_EQ(calls[i].options.query_filter, Value("F"));
    }
    EXPECT_EQ(out.at("queries"), Value(List{Value("q1"), Value("q2")}));
    ASSERT_EQ(out.at("chunk_lists").as_list().size(), 2u);
    EXPECT_EQ(ids_of(out.at("chunks")), c.chunks);
  }
}

TEST(QueryExpansionRun, NoExpandedQueriesGiveNoChunks) {
  auto p = QueryExpansionPipeline(std::make_shared<FixedTransformer>(List{})).build(two_query_retriever());
  Dict out = run(p, Dict{{"user_query", "q"}});
  EXPECT_EQ(out.at("chunks"), Value(List{}));
}

TEST(QueryExpansionRun, AbsentTransformerFailsClearlyWhenRun) {
  QueryExpansionPipeline block(nullptr);
  auto p = block.build(two_query_retriever());
  try {
    run(p, Dict{{"user_query", "q"}});
    FAIL() << "nothing thrown";
  } catch (const vorn_pipeline::PipelineRuntimeError& e) {
    EXPECT_EQ(e.step_name(), "expand_query");
  }
}

}  // namespace
