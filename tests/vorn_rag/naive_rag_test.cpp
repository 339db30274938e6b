// NaiveRAG: construction, slots, the pipeline it wires, and runs.
#include <gtest/gtest.h>

#include "rag_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/exceptions.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"

namespace {

using namespace rag_test;
using vorn_pipeline::StepKind;
using vorn_rag::blocks::retrieval::QueryExpansionPipeline;
using vorn_rag::strategies::NaiveRAG;

using StepList = std::vector<std::pair<std::string, StepKind>>;

StepList steps_of(const std::vector<vorn_pipeline::StepInfo>& infos) {
  StepList out;
  for (const auto& s : infos) out.emplace_back(s.name, s.kind);
  return out;
}

struct Doubles {
  std::shared_ptr<RecordingRetriever> retriever =
      std::make_shared<RecordingRetriever>(make_chunks({"a", "b", "c"}));
  std::shared_ptr<EchoSynthesizer> synthesizer = std::make_shared<EchoSynthesizer>();
  std::shared_ptr<ReversingReranker> reranker = std::make_shared<ReversingReranker>();
  std::shared_ptr<KeepingFilter> filter = std::make_shared<KeepingFilter>();
  std::shared_ptr<FixedTransformer> transformer = std::make_shared<FixedTransformer>(List{Value("q1"), Value("q2")});

  std::shared_ptr<NaiveRAG> strategy() const { return std::make_shared<NaiveRAG>(retriever, synthesizer); }
  std::shared_ptr<QueryExpansionPipeline> expansion(const char* fuse_fn = "concat") const {
    return std::make_shared<QueryExpansionPipeline>(transformer, fuse_fn);
  }
};

// ---- construction and slots ---------------------------------------------------------

TEST(NaiveRAGConstruction, ChecksTheRetrieverFirst) {
  Doubles d;
  const std::string no_retriever = "Missing `retriever`. Pass a retriever and retry.";
  const std::string no_synthesizer = "Missing `response_synthesizer`. Pass a response synthesizer and retry.";
  EXPECT_EQ(message_of<vorn_rag::RAGValueError>([] { NaiveRAG(nullptr, nullptr); }), no_retriever);
  EXPECT_EQ(message_of<vorn_rag::RAGValueError>([&] { NaiveRAG(nullptr, d.synthesizer); }), no_retriever);
  EXPECT_EQ(message_of<vorn_rag::RAGValueError>([&] { NaiveRAG(d.retriever, nullptr); }), no_synthesizer);
}

TEST(NaiveRAGSlots, DescribesItsThreeSlotsInDeclarationOrder) {
  EXPECT_EQ(NaiveRAG::describe(),
            "NaiveRAG\n"
            "  query_expansion: QueryExpansionPipeline | None - Optional query expansion pipeline that replaces the "
            "bare retriever step\n"
            "  reranker: BaseReranker | None - Optional reranker for improving retrieval results\n"
            "  relevance_filter: BaseRelevanceFilter | None - Optional relevance filter for filtering retrieved chunks");
}

TEST(NaiveRAGSlots, BuildersCheckTypesAndAccessorsReadBack) {
  Doubles d;
  auto rag = d.strategy();
  auto expansion = d.expansion();
  rag->with_query_expansion(expansion).with_reranker(d.reranker).with_relevance_filter(d.filter);
  EXPECT_EQ(rag->query_expansion(), expansion);
  EXPECT_EQ(rag->reranker(), d.reranker);
  EXPECT_EQ(rag->relevance_filter(), d.filter);
  EXPECT_EQ(rag->get_attr("query_expansion"), Value(expansion));

  // The dynamic builder accepts a block and refuses anything else.
  EXPECT_EQ(message_of<vorn_rag::RAGTypeError>([&] { rag->with_slot("query_expansion", Value(d.reranker)); }),
            "Invalid value for slot 'query_expansion'. Pass a QueryExpansionPipeline | None and retry.");
  EXPECT_EQ(message_of<vorn_rag::RAGTypeError>([&] { rag->call("with_reranker", List{Value("reranker")}); }),
            "Invalid value for slot 'reranker'. Pass a BaseReranker | None and retry.");
  EXPECT_EQ(rag->reranker(), d.reranker);  // a failed builder changes nothing

  rag->with_reranker(nullptr);
  EXPECT_EQ(rag->reranker(), nullptr);
}

// ---- the wired pipeline --------------------------------------------------------------

struct SlotCase {
  bool expansion, filter, reranker;
  StepList steps;
};

class NaiveRAGPipeline : public ::testing::TestWithParam<SlotCase> {};

TEST_P(NaiveRAGPipeline, StepsFollowTheSetSlots) {
  const SlotCase& c = GetParam();
  Doubles d;
  auto rag = d.strategy();
  // Set in the reverse of the step order: the order of the steps must not
  // depend on it.
  if (c.reranker) rag->with_reranker(d.reranker);
  if (c.filter) rag->with_relevance_filter(d.filter);
  if (c.expansion) rag->with_query_expansion(d.expansion());
  auto pipeline = rag->build();
  auto infos = pipeline->describe();
  EXPECT_EQ(steps_of(infos), c.steps);
  EXPECT_EQ(pipeline->state_type(), vorn_rag::core::StrategyState::schema());
  if (c.expansion) {
    ASSERT_EQ(infos.front().children.size(), 1u);
    EXPECT_EQ(steps_of(infos.front().children.front().second),
              (StepList{{"expand_query", StepKind::kComponent},
                        {"retrieve_chunks", StepKind::kComponent},
                        {"fuse_chunks", StepKind::kTransform}}));
  }
}

constexpr auto kStep = StepKind::kComponent;
INSTANTIATE_TEST_SUITE_P(
    AllSlotCombinations, NaiveRAGPipeline,
    ::testing::Values(
        SlotCase{false, false, false, {{"retrieve", kStep}, {"synthesize", kStep}}},
        SlotCase{false, false, true, {{"retrieve", kStep}, {"rerank", kStep}, {"synthesize", kStep}}},
        SlotCase{false, true, false, {{"retrieve", kStep}, {"filter_relevance", kStep}, {"synthesize", kStep}}},
        SlotCase{false, true, true,
                 {{"retrieve", kStep}, {"filter_relevance", kStep}, {"rerank", kStep}, {"synthesize", kStep}}},
        SlotCase{true, false, false, {{"expand_and_retrieve", StepKind::kSubgraph}, {"synthesize", kStep}}},
        SlotCase{true, false, true,
                 {{"expand_and_retrieve", StepKind::kSubgraph}, {"rerank", kStep}, {"synthesize", kStep}}},
        SlotCase{true, true, false,
                 {{"expand_and_retrieve", StepKind::kSubgraph}, {"filter_relevance", kStep}, {"synthesize", kStep}}},
        SlotCase{true, true, true,
                 {{"expand_and_retrieve", StepKind::kSubgraph},
                  {"filter_relevance", kStep},
                  {"rerank", kStep},
                  {"synthesize", kStep}}}));

// ---- runs -------------------------------------------------------------------------------

TEST(NaiveRAGRun, ComponentsReadTheStateAndTheRunContext) {
  Doubles d;
  auto rag = d.strategy();
  Dict out = rag->run("question", 3, Dict{{"query_filter", "F"}, {"threshold", 0.5}});

  auto retrieved = d.retriever->log.calls();
  ASSERT_EQ(retrieved.size(), 1u);
  EXPECT_EQ(retrieved[0].query, "question");
  EXPECT_EQ(retrieved[0].options.top_k, 3);
  EXPECT_EQ(retrieved[0].options.threshold, 0.5);
  EXPECT_EQ(retrieved[0].options.query_filter, Value("F"));
  auto synthesized = d.synthesizer->log.calls();
  ASSERT_EQ(synthesized.size(), 1u);
  EXPECT_EQ(synthesized[0].query, "question");
  EXPECT_EQ(synthesized[0].chunk_ids, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(out.at("response"), Value("answer(question): a,b,c"));
  EXPECT_EQ(out.at("query_filter"), Value("F"));
}

TEST(NaiveRAGRun, FilterRunsBeforeTheReranker) {
  Doubles d;
  d.filter->keep = std::vector<std::string>{"a", "c"};
  auto rag = d.strategy();
  rag->with_reranker(d.reranker).with_relevance_filter(d.filter);
  Dict out = rag->run("question");

  ASSERT_EQ(d.filter->log.size(), 1u);
  EXPECT_EQ(d.filter->log.calls()[0].chunk_ids, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(d.filter->log.calls()[0].query, "question");
  ASSERT_EQ(d.reranker->log.size(), 1u);
  EXPECT_EQ(d.reranker->log.calls()[0].chunk_ids, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(d.reranker->log.calls()[0].query, "question");
  EXPECT_EQ(d.retriever->log.calls()[0].options.top_k, 5);  // the default top_k
  EXPECT_EQ(out.at("response"), Value("answer(question): c,a"));
}

TEST(NaiveRAGRun, QueryExpansionRetrievesPerExpandedQueryAndReturnsOnlyChunks) {
  Doubles d;
  d.retriever->answer_for = [](const std::string& q) {
    return q == "q1" ? make_chunks({"a", "b"}) : make_chunks({"b", "c"});
  };
  auto rag = d.strategy();
  rag->with_query_expansion(d.expansion("concat"));
  Dict out = rag->run("question", 2, Dict{{"query_filter", "F"}});

  EXPECT_EQ(d.transformer->log.calls(), std::vector<std::string>{"question"});
  auto retrieved = d.retriever->log.calls();
  ASSERT_EQ(retrieved.size(), 2u);
  EXPECT_EQ(retrieved[0].query, "q1");
  EXPECT_EQ(retrieved[1].query, "q2");
  for (const auto& call : retrieved) {
    EXPECT_EQ(call.options.top_k, 2);
    EXPECT_EQ(call.options.query_filter, Value("F"));
  }
  EXPECT_EQ(out.at("response"), Value("answer(question): a,b,c"));
  // The block's own keys stay inside it.
  EXPECT_FALSE(out.contains("chunk_lists"));
  EXPECT_EQ(out.at("queries"), Value(List{}));
}

TEST(NaiveRAGRun, ComponentFailuresTakeTheDefaultStepHandling) {
  Doubles d;
  d.reranker->behaviour.fail = [] { throw std::runtime_error("reranker down"); };
  auto rag = d.strategy();
  rag->with_reranker(d.reranker);
  try {
    rag->run("question");
    FAIL() << "nothing thrown";
  } catch (const vorn_pipeline::PipelineRuntimeError& e) {
    EXPECT_EQ(e.step_name(), "rerank");
  }
  EXPECT_EQ(d.synthesizer->log.size(), 0u);
}

Task<List> two_runs(std::shared_ptr<NaiveRAG> rag) {
  std::vector<Task<Dict>> runs;
  runs.push_back(rag->arun("first"));
  runs.push_back(rag->arun("second"));
  auto results = co_await vorn_core::when_all(std::move(runs));
  List responses;
  for (auto& r : results) responses.push_back(r.at("response"));
  co_return responses;
}

TEST(NaiveRAGRun, ConcurrentRunsKeepTheirOwnState) {
  Doubles d;
  d.retriever->behaviour.suspend = true;
  d.retriever->answer_for = [](const std::string& q) { return make_chunks({q == "first" ? "f" : "s"}); };
  List responses = vorn_core::run_sync(two_runs(d.strategy()));
  EXPECT_EQ(responses, (List{Value("answer(first): f"), Value("answer(second): s")}));
}

TEST(NaiveRAGRun, WorksAsASubgraphOfAnotherPipeline) {
  Doubles d;
  auto rag = d.strategy();
  rag->with_reranker(d.reranker);
  // The outer pipeline derives the question, runs the strategy's pipeline as
  // a branch, then post-processes its answer.
  auto prepare = vorn_pipeline::transform({
      .operation = [](Dict data) { return Value("about " + data.at("topic").as_string()); },
      .input_map = {{"topic", "topic"}},
      .output_state = "user_query",
      .name = "prepare",
  });
  auto branch = vorn_pipeline::subgraph({.subgraph = rag->build(), .name = "naive"});
  auto finish = vorn_pipeline::transform({
      .operation = [](Dict data) { return Value(data.at("response").as_string() + "!"); },
      .input_map = {{"response", "response"}},
      .output_state = "response",
      .name = "finish",
  });
  auto outer = prepare | branch | finish;
  outer = outer->with_state_type(vorn_rag::core::StrategyState::schema());

  Dict out = vorn_core::run_sync(outer->invoke(Value(Dict{}), Dict{{"topic", "cats"}, {"top_k", 7}}));
  EXPECT_EQ(out.at("response"), Value("answer(about cats): c,b,a!"));
  ASSERT_EQ(d.retriever->log.size(), 1u);
  EXPECT_EQ(d.retriever->log.calls()[0].query, "about cats");
  EXPECT_EQ(d.retriever->log.calls()[0].options.top_k, 7);
  EXPECT_EQ(ids_of(out.at("chunks")), (std::vector<std::string>{"c", "b", "a"}));
}

}  // namespace
