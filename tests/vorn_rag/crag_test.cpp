// CRAG: the pipeline it wires for each slot combination, the three decision
// paths end to end, the default path's unwrapped error, and absent parts.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "rag_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/exceptions.hpp"
#include "vorn_rag/strategies/crag.hpp"

namespace {

using namespace rag_test;
using vorn_pipeline::PipelineRuntimeError;
using vorn_pipeline::StepInfo;
using vorn_rag::RAGRuntimeError;
using vorn_rag::strategies::CRAG;
using vorn_rag::strategies::crag::DecisionResult;
using Ids = std::vector<std::string>;

// "name:kind", nested steps in braces: switch{key[steps] ...}.
std::string shape(const std::vector<StepInfo>& steps) {
  std::string out;
  for (const auto& s : steps) {
    if (!out.empty()) out += " ";
    out += s.name + ":" + std::string(vorn_pipeline::to_string(s.kind));
    if (s.children.empty()) continue;
    out += "{";
    for (const auto& [key, nested] : s.children) out += key + "[" + shape(nested) + "]";
    out += "}";
  }
  return out;
}

ChunkList chunks_with(const Ids& ids) {
  ChunkList out;
  for (const auto& id : ids) out.push_back(vorn_core::make_chunk(id, "content of " + id));
  return out;
}

struct Rig {
  std::shared_ptr<RecordingRetriever> retriever = std::make_shared<RecordingRetriever>(make_chunks({"a", "b", "c"}));
  std::shared_ptr<EchoSynthesizer> synthesizer = std::make_shared<EchoSynthesizer>();
  std::shared_ptr<KeepingFilter> evaluator = std::make_shared<KeepingFilter>();
  std::shared_ptr<RecordingRetriever> web = std::make_shared<RecordingRetriever>(make_chunks({"w1", "w2"}));
  std::shared_ptr<ReversingReranker> reranker = std::make_shared<ReversingReranker>();
  std::shared_ptr<CRAG> crag = std::make_shared<CRAG>(retriever, synthesizer);

  Ids synthesized() const {
    auto calls = synthesizer->log.calls();
    return calls.empty() ? Ids{"<not called>"} : calls.back().chunk_ids;
  }
};

// ---- class and slots ------------------------------------------------------------

TEST(CRAGClass, DescribesItsSlotsInOrder) {
  EXPECT_EQ(CRAG::describe(),
            "CRAG\n"
            "  relevance_evaluator: BaseRelevanceFilter | None - Optional relevance evaluator used to classify "
            "retrieval confidence\n"
            "  web_retriever: BaseRetriever | None - Optional fallback retriever used for the irrelevant route\n"
            "  reranker: BaseReranker | None - Optional reranker for improving chunks before synthesis");
}

TEST(CRAGClass, BuildersStoreTypedValuesAndDropTheCachedPipeline) {
  Rig r;
  auto first = r.crag->build();
  EXPECT_EQ(r.crag->build(), first);
  r.crag->with_relevance_evaluator(r.evaluator).with_web_retriever(r.web).with_reranker(r.reranker);
  EXPECT_EQ(r.crag->relevance_evaluator(), r.evaluator);
  EXPECT_EQ(r.crag->web_retriever(), r.web);
  EXPECT_EQ(r.crag->reranker(), r.reranker);
  EXPECT_NE(r.crag->build(), first);
  // The generated builder checks the type: a retriever is no reranker.
  EXPECT_THROW(r.crag->with_slot("reranker", Value(r.retriever)), vorn_rag::RAGTypeError);
  r.crag->with_reranker(nullptr);
  EXPECT_EQ(r.crag->reranker(), nullptr);
}

// ---- the wired pipeline ------------------------------------------------------------

struct ShapeCase {
  bool evaluator, web, reranker;
  std::string expected;
};

TEST(CRAGPipeline, StepsForEverySlotCombination) {
  const std::string head = "retrieve:step decide_retrieval_route:transform route_by_retrieval_decision:switch{";
  const std::string tail = "default[raise_unexpected_route:transform]}";
  const std::string plain = head +
                            "relevant[relevant_synthesize:step]"
                            "irrelevant[irrelevant_synthesize:step]"
                            "ambiguous[ambiguous_synthesize:step]" +
                            tail;
  const std::string web = head +
                          "relevant[relevant_synthesize:step]"
                          "irrelevant[web_retrieve:step irrelevant_synthesize:step]"
                          "ambiguous[ambiguous_synthesize:step]" +
                          tail;
  const std::string rerank = head +
                             "relevant[relevant_rerank:step relevant_synthesize:step]"
                             "irrelevant[irrelevant_rerank:step irrelevant_synthesize:step]"
                             "ambiguous[ambiguous_rerank:step ambiguous_synthesize:step]" +
                             tail;
  const std::string both = head +
                           "relevant[relevant_rerank:step relevant_synthesize:step]"
                           "irrelevant[web_retrieve:step irrelevant_rerank:step irrelevant_synthesize:step]"
                           "ambiguous[ambiguous_rerank:step ambiguous_synthesize:step]" +
                           tail;
  // The evaluator is consulted at run time; it never changes the shape.
  const std::vector<ShapeCase> cases = {
      {false, false, false, plain}, {true, false, false, plain}, {false, true, false, web},
      {true, true, false, web},     {false, false, true, rerank}, {true, false, true, rerank},
      {false, true, true, both},    {true, true, true, both},
  };
  for (const auto& c : cases) {
    Rig r;
    if (c.evaluator) r.crag->with_relevance_evaluator(r.evaluator);
    if (c.web) r.crag->with_web_retriever(r.web);
    if (c.reranker) r.crag->with_reranker(r.reranker);
    auto pipeline = r.crag->build();
    EXPECT_EQ(shape(pipeline->describe()), c.expected)
        << "evaluator=" << c.evaluator << " web=" << c.web << " reranker=" << c.reranker;
    EXPECT_EQ(pipeline->state_type(), vorn_rag::core::StrategyState::schema());
  }
}

// ---- decisions end to end -------------------------------------------------------------

struct DecisionCase {
  const char* name;
  Ids retrieved;
  bool with_evaluator;
  std::optional<Ids> keep;  // unset: the evaluator keeps everything
  const char* decision;
  Ids synthesized;
  Ids filtered;
};

TEST(CRAGRun, EachDecisionTakesItsPath) {
  const std::vector<DecisionCase> cases = {
      {"no evaluator", {"a", "b", "c"}, false, std::nullopt, "relevant", {"a", "b", "c"}, {"a", "b", "c"}},
      {"keeps all", {"a", "b", "c"}, true, std::nullopt, "relevant", {"a", "b", "c"}, {"a", "b", "c"}},
      {"keeps none", {"a", "b", "c"}, true, Ids{}, "irrelevant", {"a", "b", "c"}, {}},
      {"keeps some", {"a", "b", "c"}, true, Ids{"a", "c"}, "ambiguous", {"a", "c"}, {"a", "c"}},
      {"empty retrieval judged", {}, true, std::nullopt, "irrelevant", {}, {}},
      {"empty retrieval unjudged", {}, false, std::nullopt, "relevant", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.retriever = std::make_shared<RecordingRetriever>(chunks_with(c.retrieved));
    r.crag = std::make_shared<CRAG>(r.retriever, r.synthesizer);
    r.evaluator->keep = c.keep;
    if (c.with_evaluator) r.crag->with_relevance_evaluator(r.evaluator);

    Dict out = r.crag->run("why?");
    EXPECT_EQ(out.at("retrieval_decision"), Value(c.decision));
    EXPECT_EQ(ids_of(out.at("filtered_chunks")), c.filtered);
    EXPECT_EQ(ids_of(out.at("chunks")), c.retrieved) << "no path without a reranker or web retriever rewrites chunks";
    EXPECT_EQ(r.synthesized(), c.synthesized);
    EXPECT_EQ(r.synthesizer->log.calls().back().query, "why?");
    EXPECT_TRUE(out.at("response").is_string());
    if (c.with_evaluator) {
      auto calls = r.evaluator->log.calls();
      ASSERT_EQ(calls.size(), 1u) << "the evaluator is asked once per run";
      EXPECT_EQ(calls[0].chunk_ids, c.retrieved);
      EXPECT_EQ(calls[0].query, "why?");
    }
  }
}

// Returns as many chunks as it got, but other ones.
class SubstitutingEvaluator : public vorn_retrieval::BaseRelevanceFilter {
 public:
  Task<ChunkList> filter(ChunkList chunks, std::string) override {
    ChunkList out;
    for (const auto& c : chunks) out.push_back(vorn_core::make_chunk("judged-" + c->id));
    co_return out;
  }
};

TEST(CRAGRun, RelevantPathAnswersFromTheRetrievalNotTheEvaluatorsList) {
  Rig r;
  r.crag->with_relevance_evaluator(std::make_shared<SubstitutingEvaluator>());
  Dict out = r.crag->run("q");
  EXPECT_EQ(out.at("retrieval_decision"), Value("relevant"));
  EXPECT_EQ(r.synthesized(), (Ids{"a", "b", "c"}));
  EXPECT_EQ(ids_of(out.at("filtered_chunks")), (Ids{"judged-a", "judged-b", "judged-c"}));
}

TEST(CRAGRun, WebRetrieverReplacesChunksOnTheIrrelevantPathOnly) {
  Rig r;
  r.evaluator->keep = Ids{};
  r.crag->with_relevance_evaluator(r.evaluator).with_web_retriever(r.web);
  Dict options;
  options.set("query_filter", "lang=en");
  options.set("threshold", 0.25);
  Dict out = r.crag->run("q", 3, options);
  EXPECT_EQ(out.at("retrieval_decision"), Value("irrelevant"));
  EXPECT_EQ(ids_of(out.at("chunks")), (Ids{"w1", "w2"}));
  EXPECT_EQ(r.synthesized(), (Ids{"w1", "w2"}));
  // Both retrievers get the same query, filter, top-k and threshold.
  for (const auto& log : {r.retriever->log.calls(), r.web->log.calls()}) {
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].query, "q");
    EXPECT_EQ(log[0].options.top_k, 3);
    EXPECT_EQ(log[0].options.threshold, 0.25);
    EXPECT_EQ(log[0].options.query_filter, Value("lang=en"));
  }

  // A relevant judgement never asks the web.
  r.evaluator->keep.reset();
  r.crag->run("q");
  EXPECT_EQ(r.web->log.size(), 1u);
}

struct RerankCase {
  const char* name;
  std::optional<Ids> keep;
  bool web;
  Ids reranked;  // what the reranker gets
};

TEST(CRAGRun, EveryPathReranksWhatItAnswersFrom) {
  const std::vector<RerankCase> cases = {
      {"relevant", std::nullopt, false, {"a", "b", "c"}},
      {"ambiguous", Ids{"a", "b"}, false, {"a", "b"}},
      {"irrelevant", Ids{}, false, {"a", "b", "c"}},
      {"irrelevant with web", Ids{}, true, {"w1", "w2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.evaluator->keep = c.keep;
    r.crag->with_relevance_evaluator(r.evaluator).with_reranker(r.reranker);
    if (c.web) r.crag->with_web_retriever(r.web);
    Dict out = r.crag->run("q");
    ASSERT_EQ(r.reranker->log.size(), 1u);
    EXPECT_EQ(r.reranker->log.calls()[0].chunk_ids, c.reranked);
    EXPECT_EQ(r.reranker->log.calls()[0].query, "q");
    const Ids reversed(c.reranked.rbegin(), c.reranked.rend());
    EXPECT_EQ(r.synthesized(), reversed);
    EXPECT_EQ(ids_of(out.at("chunks")), reversed) << "the rerank output replaces chunks";
  }
}

// ---- the default path ---------------------------------------------------------------------

// Answers a decision no path handles (or none at all).
class OffScriptCRAG : public CRAG {
 public:
  OffScriptCRAG(vorn_retrieval::RetrieverPtr retriever, vorn_generation::ResponseSynthesizerPtr synthesizer,
                std::optional<std::string> decision)
      : CRAG(std::move(retriever), std::move(synthesizer)), decision_(std::move(decision)) {}

  Task<DecisionResult> _decide_retrieval(std::string, ChunkList chunks) override {
    co_return DecisionResult(decision_, std::move(chunks));
  }

 private:
  std::optional<std::string> decision_;
};

TEST(CRAGDefaultPath, UnsupportedDecisionReachesTheCallerUnwrapped) {
  const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
      {"maybe", "Unsupported retrieval decision: maybe. Make the retrieval evaluator return a supported decision and "
                "retry."},
      {std::nullopt, "Unsupported retrieval decision: None. Make the retrieval evaluator return a supported "
                     "decision and retry."},
  };
  for (const auto& [decision, message] : cases) {
    Rig r;
    auto crag = std::make_shared<OffScriptCRAG>(r.retriever, r.synthesizer, decision);
    auto error = catch_error<RAGRuntimeError>([&] { crag->run("q"); });
    EXPECT_EQ(std::string(error.what()), message);
    EXPECT_EQ(error.code(), "VORN-RAG-RUNTIME");
    EXPECT_TRUE(r.synthesizer->log.calls().empty());
    // Also through arun, and never as the framework's wrapper.
    try {
      vorn_core::run_sync(crag->arun("q"));
      ADD_FAILURE() << "arun answered";
    } catch (const PipelineRuntimeError&) {
      ADD_FAILURE() << "the typed error was wrapped";
    } catch (const RAGRuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

TEST(CRAGDefaultPath, OperationsOnTheirOwn) {
  try {
    CRAG::_unexpected_route_op(Dict{});
    ADD_FAILURE();
  } catch (const RAGRuntimeError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unsupported retrieval decision: None. Make the retrieval evaluator return a supported decision and "
              "retry.");
  }
  // Missing and absent chunks count as an empty retrieval.
  Rig r;
  r.crag->with_relevance_evaluator(r.evaluator);
  for (const Dict& data : {Dict{{"query", "q"}}, Dict{{"query", "q"}, {"chunks", Value()}}}) {
    DecisionResult result = vorn_core::run_sync(r.crag->_route_decision_op(data));
    EXPECT_EQ(result.first, std::optional<std::string>("irrelevant"));
    EXPECT_TRUE(result.second.empty());
  }
}

// ---- failures and absent parts -------------------------------------------------------------

TEST(CRAGFailures, AbsentComponentsFailInTheirStepWithoutACrash) {
  Rig r;
  struct Case {
    std::shared_ptr<CRAG> crag;
    const char* step;
  };
  const std::vector<Case> cases = {
      {std::make_shared<CRAG>(nullptr, r.synthesizer), "retrieve"},
      {std::make_shared<CRAG>(nullptr, nullptr), "retrieve"},
      {std::make_shared<CRAG>(r.retriever, nullptr), "relevant_synthesize"},
  };
  for (const auto& c : cases) {
    auto error = catch_error<PipelineRuntimeError>([&] { c.crag->run("q"); });
    EXPECT_EQ(error.step_name(), c.step);
    EXPECT_NE(std::string(error.what()).find("has no component to call"), std::string::npos) << error.what();
  }
}

TEST(CRAGFailures, ComponentErrorsTakeTheDefaultHandlingEvenWhenTyped) {
  Rig r;
  r.evaluator->behaviour.fail = [] { throw vorn_rag::RAGValueError("evaluator refused"); };
  r.crag->with_relevance_evaluator(r.evaluator);
  auto error = catch_error<PipelineRuntimeError>([&] { r.crag->run("q"); });
  EXPECT_EQ(error.step_name(), "decide_retrieval_route");
  EXPECT_NE(std::string(error.what()).find("evaluator refused"), std::string::npos);
}

TEST(CRAGFailures, APipelineThatOutlivesItsStrategyReportsIt) {
  Rig r;
  auto pipeline = r.crag->build();
  r.crag.reset();
  Dict initial;
  initial.set("user_query", "q");
  auto error = catch_error<PipelineRuntimeError>([&] { vorn_core::run_sync(pipeline->invoke(Value(initial))); });
  EXPECT_EQ(error.step_name(), "decide_retrieval_route");
  EXPECT_NE(std::string(error.what()).find("no longer exists"), std::string::npos);
}

}  // namespace
