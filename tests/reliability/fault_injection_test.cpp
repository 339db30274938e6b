// Fault injection across every strategy and block: one component at a time
// throws a family error, a standard exception or a non-standard value,
// answers a value of the wrong shape, or never answers (the caller's
// timeout ends the wait). Each fault must reach the caller as the error the
// library documents for that step, and the same strategy or block must
// answer the next question correctly once the component behaves again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reliability_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_pipeline/error_handler.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"
#include "vorn_rag/blocks/retrieval/query_expansion.hpp"
#include "vorn_rag/blocks/routing/multi_query_routing_pipeline.hpp"
#include "vorn_rag/exceptions.hpp"
#include "vorn_rag/strategies/crag.hpp"
#include "vorn_rag/strategies/map_reduce_rag.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"
#include "vorn_rag/strategies/routed_strategy.hpp"

namespace reliability {
namespace {

using namespace std::chrono_literals;
using vorn_pipeline::PipelineRuntimeError;
using vorn_rag::core::StrategyPtr;
namespace strategies = vorn_rag::strategies;
namespace retrieval = vorn_rag::blocks::retrieval;
namespace routing = vorn_rag::blocks::routing;

// What the caller must see.
struct Outcome {
  enum Kind {
    kStepError,        // PipelineRuntimeError naming `where`, the injected failure as its cause
    kSameError,        // the injected family error itself (a pass-through handler stands)
    kRAGValueError,    // the library's own typed refusal of the component's output
    kRAGRuntimeError,  // the library's own typed failure (no route for the output)
    kTimeout,          // the caller's deadline
  };
  Kind kind;
  std::string where;  // the step, for kStepError
};

// A component of a scenario: its name (what the fault switch targets), the
// step that calls it, whether that step passes family errors through, and
// what a wrong-shaped answer leads to (none when its interface has no room
// for a wrong shape).
struct Target {
  std::string component;
  std::string step;
  bool pass_through = false;
  std::optional<Outcome> wrong_shape;
};

// Runs one question to its answer: the response of a strategy, the chunk
// ids or routing plan of a block, as text.
using Runner = std::function<Task<std::string>(std::string)>;

struct Scenario {
  std::string name;
  FaultSwitchPtr faults;
  Runner run;
  std::vector<Target> targets;
};

struct Tally {
  std::map<std::string, int> by_fault;
  int injected = 0;
  int survived = 0;  // documented error seen, and the next run answered correctly
};
Tally& tally() {
  static Tally t;
  return t;
}

Task<std::string> with_deadline(Runner run, std::string question, std::chrono::milliseconds limit) {
  co_return co_await vorn_core::with_timeout(run(std::move(question)), limit);
}

// Checks the failure against the expectation; returns a description of the
// mismatch, empty when it matches.
std::string mismatch(std::exception_ptr error, const Outcome& expected, Fault fault) {
  if (!error) return "no error reached the caller";
  try {
    std::rethrow_exception(error);
  } catch (const vorn_core::TimeoutError& e) {
    if (expected.kind == Outcome::kTimeout) return {};
    return std::string("timed out: ") + e.what();
  } catch (const PipelineRuntimeError& e) {
    if (expected.kind != Outcome::kStepError) return std::string("unexpected step error: ") + e.what();
    if (e.step_name() != expected.where) return "step " + e.step_name() + " instead of " + expected.where;
    if (std::string(e.what()).find("Step '" + expected.where + "'") == std::string::npos) {
      return std::string("message does not name the step: ") + e.what();
    }
    if (!e.cause()) return "the step error lost its cause";
    if (fault == Fault::kWrongShape) return {};
    // The cause is the failure as the component raised it.
    try {
      std::rethrow_exception(e.cause());
    } catch (const vorn_inference::ModelConnectionError& cause) {
      return fault == Fault::kFamilyError && cause.message() == kInjectedMessage ? "" : "cause: family error";
    } catch (const std::runtime_error& cause) {
      return fault == Fault::kStdError && std::string(cause.what()) == kInjectedMessage ? "" : "cause: std error";
    } catch (int cause) {
      return fault == Fault::kNonStandard && cause == 42 ? "" : "cause: int";
    } catch (...) {
      return "cause of an unexpected type";
    }
  } catch (const vorn_inference::ModelConnectionError& e) {
    if (expected.kind == Outcome::kSameError && e.message() == kInjectedMessage) return {};
    return "the family error came through where a step error was due: " + e.message();
  } catch (const vorn_rag::RAGValueError& e) {
    if (expected.kind == Outcome::kRAGValueError) return {};
    return "unexpected RAGValueError: " + e.message();
  } catch (const vorn_rag::RAGRuntimeError& e) {
    if (expected.kind == Outcome::kRAGRuntimeError) return {};
    return "unexpected RAGRuntimeError: " + e.message();
  } catch (const std::exception& e) {
    return "unexpected " + vorn_core::exception_type_name(std::current_exception()) + ": " + e.what();
  } catch (...) {
    return "a non-standard exception reached the caller unwrapped";
  }
}

Outcome expected_for(const Target& t, Fault fault) {
  switch (fault) {
    case Fault::kNever: return {Outcome::kTimeout, {}};
    case Fault::kWrongShape: return *t.wrong_shape;
    case Fault::kFamilyError:
      if (t.pass_through) return {Outcome::kSameError, {}};
      return {Outcome::kStepError, t.step};
    default: return {Outcome::kStepError, t.step};
  }
}

void run_scenario(const Scenario& s) {
  const std::vector<Fault> faults = {Fault::kFamilyError, Fault::kStdError, Fault::kNonStandard, Fault::kWrongShape,
                                     Fault::kNever};
  int question = 0;
  for (const Target& target : s.targets) {
    for (Fault fault : faults) {
      if (fault == Fault::kWrongShape && !target.wrong_shape) continue;
      SCOPED_TRACE(s.name + " / " + target.component + " / " + to_string(fault));
      const std::string bad_question = "q" + std::to_string(++question);
      s.faults->set(target.component, fault);
      ++tally().injected;
      ++tally().by_fault[to_string(fault)];
      std::exception_ptr error;
      try {
        const auto limit = fault == Fault::kNever ? 20ms : 10'000ms;
        (void)vorn_core::run_sync(with_deadline(s.run, bad_question, limit));
      } catch (...) {
        error = std::current_exception();
      }
      const std::string problem = mismatch(error, expected_for(target, fault), fault);
      EXPECT_EQ(problem, "");

      // The same strategy, good components: the right answer to the new question.
      s.faults->clear();
      const std::string good_question = "q" + std::to_string(++question);
      std::string answer;
      try {
        answer = vorn_core::run_sync(with_deadline(s.run, good_question, 10'000ms));
      } catch (const std::exception& e) {
        ADD_FAILURE() << "the run after the fault failed: " << e.what();
        continue;
      }
      const bool belongs = answer.find(good_question) != std::string::npos &&
                           answer.find(bad_question + " ") == std::string::npos &&
                           answer.find(bad_question + ":") == std::string::npos &&
                           answer.find(bad_question + ")") == std::string::npos;
      EXPECT_TRUE(belongs) << "answer to " << good_question << ": " << answer;
      if (problem.empty() && belongs) ++tally().survived;
    }
  }
}

// ---- runners ----------------------------------------------------------------------

Task<std::string> strategy_answer(StrategyPtr strategy, std::string question) {
  Dict state = co_await strategy->arun(std::move(question), 3);
  co_return state.get("response").str();
}

Runner strategy_runner(StrategyPtr strategy) {
  return [strategy](std::string q) { return strategy_answer(strategy, std::move(q)); };
}

std::string chunk_ids(const Value& chunks) {
  std::string out;
  for (const auto& c : vorn_core::to_chunk_list(chunks)) out += c->id + " ";
  return out;
}

Task<std::string> pipeline_chunks(vorn_pipeline::PipelinePtr pipeline, std::string query_key, std::string question,
                                  std::string result_key) {
  Dict initial;
  initial.set(query_key, Value(std::move(question)));
  initial.set("top_k", Value(3));
  Dict state = co_await pipeline->invoke(Value(std::move(initial)));
  if (result_key == "routing_plan") co_return state.get(result_key).str();
  co_return chunk_ids(state.get(result_key));
}

Runner pipeline_runner(vorn_pipeline::PipelinePtr pipeline, std::string query_key, std::string result_key) {
  return [pipeline, query_key, result_key](std::string q) {
    return pipeline_chunks(pipeline, query_key, std::move(q), result_key);
  };
}

Outcome step_error(std::string step) { return {Outcome::kStepError, std::move(step)}; }

// ---- scenarios ---------------------------------------------------------------------

Scenario naive_all_slots() {
  auto f = std::make_shared<FaultSwitch>();
  auto naive = std::make_shared<strategies::NaiveRAG>(std::make_shared<FaultyRetriever>(f, "retriever"),
                                                      std::make_shared<FaultySynthesizer>(f, "synthesizer"));
  naive->with_query_expansion(
           std::make_shared<retrieval::QueryExpansionPipeline>(std::make_shared<FaultyTransformer>(f, "transformer")))
      .with_relevance_filter(std::make_shared<FaultyFilter>(f, "filter"))
      .with_reranker(std::make_shared<FaultyReranker>(f, "reranker"));
  return {"NaiveRAG with every slot",
          f,
          strategy_runner(naive),
          {
              {"transformer", "expand_query", false, step_error("retrieve_chunks")},
              {"retriever", "retrieve_chunks", false, step_error("fuse_chunks")},
              {"filter", "filter_relevance", false, std::nullopt},
              {"reranker", "rerank", false, step_error("synthesize")},
              {"synthesizer", "synthesize", false, std::nullopt},
          }};
}

Scenario naive_bare() {
  auto f = std::make_shared<FaultSwitch>();
  auto naive = std::make_shared<strategies::NaiveRAG>(std::make_shared<FaultyRetriever>(f, "retriever"),
                                                      std::make_shared<FaultySynthesizer>(f, "synthesizer"));
  return {"NaiveRAG without slots",
          f,
          strategy_runner(naive),
          {
              {"retriever", "retrieve", false, step_error("synthesize")},
              {"synthesizer", "synthesize", false, std::nullopt},
          }};
}

// CRAG on one path: the evaluator keeps every chunk (relevant), none
// (irrelevant: the web retriever answers) or one (ambiguous).
Scenario crag_on_path(const std::string& path, int keep) {
  auto f = std::make_shared<FaultSwitch>();
  auto crag = std::make_shared<strategies::CRAG>(std::make_shared<FaultyRetriever>(f, "retriever"),
                                                 std::make_shared<FaultySynthesizer>(f, "synthesizer"));
  crag->with_relevance_evaluator(std::make_shared<FaultyFilter>(f, "evaluator", keep))
      .with_web_retriever(std::make_shared<FaultyRetriever>(f, "web"))
      .with_reranker(std::make_shared<FaultyReranker>(f, "reranker"));
  std::vector<Target> targets = {
      {"retriever", "retrieve", false, step_error("decide_retrieval_route")},
      {"evaluator", "decide_retrieval_route", false, std::nullopt},
      {"reranker", path + "_rerank", false, step_error(path + "_synthesize")},
      {"synthesizer", path + "_synthesize", false, std::nullopt},
  };
  if (path == "irrelevant") targets.insert(targets.begin() + 2, {"web", "web_retrieve", false, step_error("irrelevant_rerank")});
  return {"CRAG on the " + path + " path", f, strategy_runner(crag), targets};
}

Scenario map_reduce() {
  auto f = std::make_shared<FaultSwitch>();
  auto rag = std::make_shared<strategies::MapReduceRAG>(std::make_shared<FaultyTransformer>(f, "transformer"),
                                                        std::make_shared<FaultyRetriever>(f, "retriever"),
                                                        std::make_shared<FaultySynthesizer>(f, "synthesizer"));
  rag->with_reranker(std::make_shared<FaultyReranker>(f, "reranker"));
  return {"MapReduceRAG",
          f,
          strategy_runner(rag),
          {
              {"transformer", "expand_query", false, step_error("retrieve_and_fuse")},
              {"retriever", "retrieve_and_fuse", false, step_error("retrieve_and_fuse")},
              {"reranker", "rerank", false, step_error("synthesize")},
              {"synthesizer", "synthesize", false, std::nullopt},
          }};
}

StrategyPtr branch(const FaultSwitchPtr& f, const std::string& name) {
  return std::make_shared<strategies::NaiveRAG>(std::make_shared<FaultyRetriever>(f, name + "_retriever"),
                                                std::make_shared<FaultySynthesizer>(f, name + "_synthesizer"));
}

Scenario routed_classifiers() {
  auto f = std::make_shared<FaultSwitch>();
  auto routed = std::make_shared<strategies::RoutedStrategy>();
  // Every question ends up on "docs"; "other" only takes questions naming it.
  routed->add_branch("docs", faulty_classifier(f, "docs_classifier", "q"), Value(branch(f, "docs")))
      .add_branch("other", faulty_classifier(f, "other_classifier", "other"), Value(branch(f, "other")));
  return {"RoutedStrategy, classifier mode",
          f,
          strategy_runner(routed),
          {
              {"docs_classifier", "resolve_routed_branch", false, Outcome{Outcome::kRAGRuntimeError, {}}},
              {"docs_retriever", "retrieve", false, step_error("synthesize")},
              {"docs_synthesizer", "synthesize", false, std::nullopt},
          }};
}

Scenario routed_router() {
  auto f = std::make_shared<FaultSwitch>();
  auto routed = std::make_shared<strategies::RoutedStrategy>();
  routed->set_router(std::make_shared<FaultyRouter>(f, "router", "docs"));
  routed->add_branch("docs", nullptr, Value(branch(f, "docs"))).add_branch("other", nullptr, Value(branch(f, "other")));
  return {"RoutedStrategy, router mode",
          f,
          strategy_runner(routed),
          {
              {"router", "resolve_routed_branch", false, Outcome{Outcome::kRAGRuntimeError, {}}},
              {"docs_retriever", "retrieve", false, step_error("synthesize")},
              {"docs_synthesizer", "synthesize", false, std::nullopt},
          }};
}

Scenario query_expansion_block() {
  auto f = std::make_shared<FaultSwitch>();
  retrieval::QueryExpansionPipeline block(std::make_shared<FaultyTransformer>(f, "transformer"));
  return {"QueryExpansionPipeline",
          f,
          pipeline_runner(block.build(std::make_shared<FaultyRetriever>(f, "retriever")), "user_query", "chunks"),
          {
              {"transformer", "expand_query", false, step_error("retrieve_chunks")},
              {"retriever", "retrieve_chunks", false, step_error("fuse_chunks")},
          }};
}

Scenario agentic_block() {
  auto f = std::make_shared<FaultSwitch>();
  auto evaluator = std::make_shared<FaultyStage>(f, "evaluator", FaultyStage::Role::kEvaluator);
  retrieval::AgenticRetrievalPipeline block(std::make_shared<FaultyRetriever>(f, "retriever"),
                                            Value(std::make_shared<FaultyStage>(f, "selector", FaultyStage::Role::kSelector)),
                                            Value(evaluator), 3, 2);
  const Outcome refused{Outcome::kRAGValueError, {}};
  return {"AgenticRetrievalPipeline",
          f,
          pipeline_runner(block.build(), "query", "selected_chunks"),
          {
              {"retriever", "agentic_retrieval_retrieve", true, refused},
              {"selector", "agentic_retrieval_select", true, refused},
              {"evaluator", "agentic_retrieval_evaluate", true, refused},
          }};
}

Scenario multi_query_block() {
  auto f = std::make_shared<FaultSwitch>();
  routing::MultiQueryRoutingPipeline block(Value(std::make_shared<FaultyTransformer>(f, "decomposer")),
                                           Value(std::make_shared<FaultyRouter>(f, "router", "docs")));
  return {"MultiQueryRoutingPipeline",
          f,
          pipeline_runner(block.build(), "query", "routing_plan"),
          {
              {"decomposer", "multi_query_routing_decompose", false, Outcome{Outcome::kRAGValueError, {}}},
              {"router", "multi_query_routing_route_all", false, step_error("multi_query_routing_route_all")},
          }};
}

// ---- tests ---------------------------------------------------------------------------

struct ScenarioCase {
  std::string name;
  std::function<Scenario()> make;
};

class FaultInjectionTest : public ::testing::TestWithParam<ScenarioCase> {};

TEST_P(FaultInjectionTest, EveryFaultEndsAsItsDocumentedErrorAndTheNextRunAnswers) {
  run_scenario(GetParam().make());
}

INSTANTIATE_TEST_SUITE_P(
    StrategiesAndBlocks, FaultInjectionTest,
    ::testing::Values(ScenarioCase{"NaiveAllSlots", naive_all_slots}, ScenarioCase{"NaiveBare", naive_bare},
                      ScenarioCase{"CragRelevant", [] { return crag_on_path("relevant", -1); }},
                      ScenarioCase{"CragIrrelevant", [] { return crag_on_path("irrelevant", 0); }},
                      ScenarioCase{"CragAmbiguous", [] { return crag_on_path("ambiguous", 1); }},
                      ScenarioCase{"MapReduce", map_reduce}, ScenarioCase{"RoutedClassifiers", routed_classifiers},
                      ScenarioCase{"RoutedRouter", routed_router},
                      ScenarioCase{"QueryExpansionBlock", query_expansion_block},
                      ScenarioCase{"AgenticBlock", agentic_block}, ScenarioCase{"MultiQueryBlock", multi_query_block}),
    [](const auto& info) { return info.param.name; });

// Prints what the table injected once every scenario has run.
class FaultTallyPrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    if (tally().injected == 0) return;
    std::printf("[ faults   ] injected %d, survived %d (", tally().injected, tally().survived);
    bool first = true;
    for (const auto& [fault, count] : tally().by_fault) {
      std::printf("%s%s: %d", first ? "" : ", ", fault.c_str(), count);
      first = false;
    }
    std::printf(")\n");
  }
};
const auto* const kFaultTally = ::testing::AddGlobalTestEnvironment(new FaultTallyPrinter);

}  // namespace
}  // namespace reliability
