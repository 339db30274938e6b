// MapReduceRAG: construction, top_k handling, the pipeline it wires, runs.
#include <gtest/gtest.h>

#include "rag_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_rag/blocks/retrieval/utils.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/exceptions.hpp"
#include "vorn_rag/strategies/map_reduce_rag.hpp"

namespace {

using namespace rag_test;
using vorn_pipeline::StepKind;
using vorn_rag::RAGTypeError;
using vorn_rag::RAGValueError;
using vorn_rag::strategies::MapReduceRAG;
namespace utils = vorn_rag::blocks::retrieval::utils;

using StepList = std::vector<std::pair<std::string, StepKind>>;

struct Doubles {
  std::shared_ptr<FixedTransformer> transformer =
      std::make_shared<FixedTransformer>(List{Value("q1"), Value("q2"), Value("q3")});
  std::shared_ptr<RecordingRetriever> retriever = std::make_shared<RecordingRetriever>();
  std::shared_ptr<EchoSynthesizer> synthesizer = std::make_shared<EchoSynthesizer>();
  std::shared_ptr<ReversingReranker> reranker = std::make_shared<ReversingReranker>();

  Doubles() {
    // q1 -> [a, b], q2 -> [b, c], q3 -> [d, b]
    retriever->answer_for = [](const std::string& q) {
      if (q == "q1") return make_chunks({"a", "b"});
      if (q == "q2") return make_chunks({"b", "c"});
      return make_chunks({"d", "b"});
    };
  }
  std::shared_ptr<MapReduceRAG> strategy(Value fuse_fn = "rrf", std::int64_t top_k = 5) const {
    return std::make_shared<MapReduceRAG>(transformer, retriever, synthesizer, fuse_fn, top_k);
  }
};

const std::string kInvalidTopK = "Invalid top_k. Set it to 1 or more and retry.";

// ---- construction ----------------------------------------------------------------------

TEST(MapReduceRAGConstruction, ChecksComponentsThenFusionThenTopK) {
  Doubles d;
  const std::string no_transformer = "Missing `transformer`. Pass a transformer and retry.";
  const std::string no_retriever = "Missing `retriever`. Pass a retriever and retry.";
  const std::string no_synthesizer = "Missing `response_synthesizer`. Pass a response synthesizer and retry.";
  struct Case {
    bool transformer, retriever, synthesizer;
    const std::string* message;
  };
  for (const Case& c : {Case{false, false, false, &no_transformer}, Case{false, true, true, &no_transformer},
                        Case{true, false, false, &no_retriever}, Case{true, true, false, &no_synthesizer}}) {
    EXPECT_EQ(message_of<RAGValueError>([&] {
                MapReduceRAG(c.transformer ? d.transformer : nullptr, c.retriever ? d.retriever : nullptr,
                             c.synthesizer ? d.synthesizer : nullptr, "RRF", 0);
              }),
              *c.message);
  }
  // The fusion selector is checked before top_k.
  EXPECT_EQ(message_of<RAGValueError>([&] { d.strategy("RRF", 0); }),
            "Unknown fusion strategy 'RRF'. Use a registered fusion strategy name and retry.");
  EXPECT_THROW(d.strategy(Value(), 5), RAGTypeError);
  EXPECT_EQ(message_of<RAGValueError>([&] { d.strategy("rrf", 0); }), kInvalidTopK);
  EXPECT_EQ(message_of<RAGValueError>([&] { d.strategy("rrf", -3); }), kInvalidTopK);
}

TEST(MapReduceRAGConstruction, DefaultsToRrfAndTopKFive) {
  Doubles d;
  auto rag = std::make_shared<MapReduceRAG>(d.transformer, d.retriever, d.synthesizer);
  EXPECT_EQ(rag->_fusion_fn(), utils::rrf_fusion_fn());
  EXPECT_EQ(rag->_top_k(), 5);
  EXPECT_EQ(d.strategy("concat", 2)->_fusion_fn(), utils::concat_fusion_fn());
}

TEST(MapReduceRAGConstruction, ValidateTopKReturnsValidValuesUnchanged) {
  EXPECT_EQ(MapReduceRAG::_validate_top_k(3, "top_k"), Value(3));
  EXPECT_EQ(MapReduceRAG::_validate_top_k(1, "top_k"), Value(1));
  EXPECT_EQ(message_of<RAGValueError>([] { MapReduceRAG::_validate_top_k(0, "k"); }),
            "Invalid k. Set it to 1 or more and retry.");
  EXPECT_THROW(MapReduceRAG::_validate_top_k(Value("3"), "top_k"), RAGTypeError);
}

// ---- the wired pipeline --------------------------------------------------------------------

TEST(MapReduceRAGPipeline, StepsWithAndWithoutTheReranker) {
  Doubles d;
  auto rag = d.strategy();
  const StepList plain = {{"expand_query", StepKind::kComponent},
                          {"retrieve_and_fuse", StepKind::kMapReduce},
                          {"synthesize", StepKind::kComponent}};
  StepList reranked = plain;
  reranked.insert(reranked.begin() + 2, {"rerank", StepKind::kComponent});
  for (bool with_reranker : {false, true, false}) {
    rag->with_reranker(with_reranker ? d.reranker : nullptr);
    auto pipeline = rag->build();
    StepList steps;
    for (const auto& s : pipeline->describe()) steps.emplace_back(s.name, s.kind);
    EXPECT_EQ(steps, with_reranker ? reranked : plain);
    EXPECT_EQ(pipeline->state_type(), vorn_rag::core::StrategyState::schema());
  }
}

TEST(MapReduceRAGPipeline, DescribesItsSlot) {
  EXPECT_EQ(MapReduceRAG::describe(),
            "MapReduceRAG\n  reranker: BaseReranker | None - Optional reranker for improving retrieval quality");
}

// ---- top_k at run time ------------------------------------------------------------------------

struct TopKCase {
  const char* label;
  std::int64_t constructed;
  Value given;
  std::int64_t retrieved_with;
};

class MapReduceRAGTopK : public ::testing::TestWithParam<TopKCase> {};

TEST_P(MapReduceRAGTopK, EveryPerQueryRetrievalUsesTheEffectiveTopK) {
  const TopKCase& c = GetParam();
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "arun" : "run");
    Doubles d;
    auto rag = d.strategy("rrf", c.constructed);
    Dict out = async ? vorn_core::run_sync(rag->arun("question", c.given)) : rag->run("question", c.given);
    auto calls = d.retriever->log.calls();
    ASSERT_EQ(calls.size(), 3u);
    for (const auto& call : calls) EXPECT_EQ(call.options.top_k, c.retrieved_with);
    EXPECT_TRUE(out.contains("response"));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, MapReduceRAGTopK,
                         ::testing::Values(TopKCase{"default", 5, Value(), 5}, TopKCase{"constructed", 7, Value(), 7},
                                           TopKCase{"per_run", 7, Value(3), 3}, TopKCase{"per_run_one", 5, Value(1), 1}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(MapReduceRAGTopKErrors, InvalidRunTopKFailsBeforeAnythingRuns) {
  Doubles d;
  auto rag = d.strategy();
  EXPECT_EQ(message_of<RAGValueError>([&] { rag->run("question", 0); }), kInvalidTopK);
  EXPECT_EQ(message_of<RAGValueError>([&] { vorn_core::run_sync(rag->arun("question", -1)); }), kInvalidTopK);
  EXPECT_THROW(rag->run("question", Value("five")), RAGTypeError);
  EXPECT_EQ(d.transformer->log.size(), 0u);
  EXPECT_EQ(d.retriever->log.size(), 0u);
}

Task<void> run_inside_loop(std::shared_ptr<MapReduceRAG> rag) {
  rag->run("question");
  co_return;
}

TEST(MapReduceRAGTopKErrors, RunRefusesInsideARunningLoop) {
  Doubles d;
  EXPECT_THROW(vorn_core::run_sync(run_inside_loop(d.strategy())), vorn_rag::SyncCallInEventLoopError);
}

// ---- runs ------------------------------------------------------------------------------------

TEST(MapReduceRAGRun, RetrievesOncePerQueryAndFusesEverything) {
  struct Case {
    const char* fuse_fn;
    std::vector<std::string> fused;
  };
  // rrf: b = 1/62 + 1/61 + 1/62 first, then a and d (1/61), then c (1/62).
  for (const Case& c : {Case{"rrf", {"b", "a", "d", "c"}}, Case{"concat", {"a", "b", "c", "d"}}}) {
    SCOPED_TRACE(c.fuse_fn);
    Doubles d;
    auto rag = d.strategy(c.fuse_fn, 1);  // top_k 1: the fused list is not cut to it
    Dict out = rag->run("question", Value(), Dict{{"query_filter", "F"}, {"threshold", 0.2}, {"extra", 1}});

    EXPECT_EQ(d.transformer->log.calls(), std::vector<std::string>{"question"});
    auto calls = d.retriever->log.calls();
    ASSERT_EQ(calls.size(), 3u);
    const std::vector<std::string> queries = {"q1", "q2", "q3"};
    for (std::size_t i = 0; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].query, queries[i]);
      EXPECT_EQ(calls[i].options.query_filter, Value("F"));
      EXPECT_EQ(calls[i].options.threshold, 0.2);
      EXPECT_EQ(calls[i].options.top_k, 1);
    }
    EXPECT_EQ(ids_of(out.at("chunks")), c.fused);
    EXPECT_EQ(out.at("queries"), Value(List{Value("q1"), Value("q2"), Value("q3")}));
    ASSERT_EQ(d.synthesizer->log.size(), 1u);
    EXPECT_EQ(d.synthesizer->log.calls()[0].query, "question");
    EXPECT_EQ(d.synthesizer->log.calls()[0].chunk_ids, c.fused);
  }
}

TEST(MapReduceRAGRun, PerQueryRetrievalsOverlapWhenTheRetrieverSuspends) {
  Doubles d;
  d.retriever->behaviour.suspend = true;
  std::vector<std::size_t> started_when_answering;
  auto answer = d.retriever->answer_for;
  d.retriever->answer_for = [&, answer](const std::string& q) {
    started_when_answering.push_back(d.retriever->log.size());
    return answer(q);
  };
  d.strategy()->run("question");
  // Every query's retrieval had started before the first one answered.
  EXPECT_EQ(started_when_answering, (std::vector<std::size_t>{3, 3, 3}));
}

TEST(MapReduceRAGRun, RerankerGetsTheFusedChunks) {
  Doubles d;
  auto rag = d.strategy("concat");
  rag->with_reranker(d.reranker);
  Dict out = rag->run("question");
  ASSERT_EQ(d.reranker->log.size(), 1u);
  EXPECT_EQ(d.reranker->log.calls()[0].chunk_ids, (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(d.reranker->log.calls()[0].query, "question");
  EXPECT_EQ(out.at("response"), Value("answer(question): d,c,b,a"));
}

TEST(MapReduceRAGRun, CustomFusionGetsThePerQueryListsInQueryOrder) {
  Doubles d;
  std::vector<std::vector<std::string>> got;
  auto first_only = vorn_core::make_function("first_only", [&](List args) {
    for (const auto& list : args.front().as_list()) got.push_back(ids_of(list));
    return args.front().as_list().front();
  });
  Dict out = d.strategy(Value(first_only))->run("question");
  EXPECT_EQ(got, (std::vector<std::vector<std::string>>{{"a", "b"}, {"b", "c"}, {"d", "b"}}));
  EXPECT_EQ(ids_of(out.at("chunks")), (std::vector<std::string>{"a", "b"}));
}

TEST(MapReduceRAGRun, ListValuedFilterIsPassedWholeToEachRetrieval) {
  Doubles d;
  const Value filter = List{Value("x"), Value("y")};
  d.strategy()->run("question", Value(), Dict{{"query_filter", filter}});
  auto calls = d.retriever->log.calls();
  ASSERT_EQ(calls.size(), 3u);
  for (const auto& call : calls) EXPECT_EQ(call.options.query_filter, filter);
}

TEST(MapReduceRAGRun, NoExpandedQueriesGiveNoChunks) {
  Doubles d;
  d.transformer = std::make_shared<FixedTransformer>(List{});
  Dict out = d.strategy()->run("question");
  EXPECT_EQ(d.retriever->log.size(), 0u);
  EXPECT_EQ(out.at("chunks"), Value(List{}));
}

Task<Value> later(List args) {
  co_await vorn_core::yield_now();
  co_return args.front().as_list().front();
}

TEST(MapReduceRAGRun, AwaitableFusionResultIsRefusedClearly) {
  Doubles d;
  auto async_fn = vorn_core::make_function("async_fusion", [](List args) { return later(std::move(args)); });
  try {
    d.strategy(Value(async_fn))->run("question");
    FAIL() << "nothing thrown";
  } catch (const vorn_pipeline::PipelineRuntimeError& e) {
    EXPECT_EQ(e.step_name(), "retrieve_and_fuse");
    EXPECT_EQ(vorn_core::exception_type_name(e.cause()), "RAGTypeError");
  }
}

}  // namespace

namespace {

// The constructor's top_k applies when the call goes through the base class too.
TEST(MapReduceRAGDefaults, BaseReferenceUsesTheStrategysOwnTopK) {
  auto retriever = std::make_shared<rag_test::RecordingRetriever>(rag_test::make_chunks({"a"}));
  auto strategy = std::make_shared<vorn_rag::strategies::MapReduceRAG>(
      std::make_shared<rag_test::FixedTransformer>(vorn_core::List{"q1"}), retriever,
      std::make_shared<rag_test::EchoSynthesizer>(), "rrf", 7);
  vorn_rag::core::Strategy& base = *strategy;
  base.run("question");
  ASSERT_EQ(retriever->log.size(), 1u);
  EXPECT_EQ(retriever->log.calls()[0].options.top_k, 7);
}

}  // namespace
