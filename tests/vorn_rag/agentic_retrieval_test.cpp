#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>

#include "agentic_operations.hpp"
#include "rag_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_generation/prompt_builder.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"
#include "vorn_rag/error_handler.hpp"
#include "vorn_rag/exceptions.hpp"

namespace {

using namespace rag_test;
using vorn_rag::RAGTypeError;
using vorn_rag::RAGValueError;
using vorn_rag::blocks::retrieval::AgenticRetrievalPipeline;
using vorn_rag::blocks::retrieval::detail::EvaluationResult;
using vorn_rag::blocks::retrieval::detail::SelectionResult;
using Policy = vorn_rag::blocks::retrieval::agentic_retrieval_pipeline::OnInsufficientPolicy;
using Opts = AgenticRetrievalPipeline::Options;
namespace ops = vorn_rag::blocks::retrieval::agentic_retrieval_pipeline;

Dict run(const vorn_pipeline::PipelinePtr& pipeline, Value initial = Dict{{"query", "q"}}) {
  return vorn_core::run_sync(pipeline->invoke(std::move(initial)));
}

std::vector<std::int64_t> asked_top_k(const RecordingRetriever& retriever) {
  std::vector<std::int64_t> out;
  for (const auto& call : retriever.log.calls()) out.push_back(call.options.top_k.value_or(-1));
  return out;
}

Dict selection(const ChunkList& chunks) { return Dict{{"selected_chunks", vorn_core::to_value(chunks)}}; }

// Selects one chunk per call, "pick<n>", so a result shows which pass made it.
struct Picker {
  std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<std::vector<Dict>> inputs = std::make_shared<std::vector<Dict>>();
  Value stage() const {
    return vorn_core::make_function("picker", [calls = calls, inputs = inputs](Dict kw) -> Value {
      inputs->push_back(kw);
      return selection(make_chunks({("pick" + std::to_string(++*calls)).c_str()}));
    });
  }
};

// Sufficient from pass `sufficient_on` (1-based) on; 0 means never.
Value evaluator_sufficient_on(int sufficient_on, std::shared_ptr<int> calls = std::make_shared<int>(0)) {
  return vorn_core::make_function("judge", [=](Dict) -> Value {
    return Dict{{"is_sufficient", sufficient_on > 0 && ++*calls >= sufficient_on}};
  });
}

Value fixed_stage(Value answer) {
  return vorn_core::make_function("fixed", [answer](Dict) { return answer; });
}

// ---- the loop ------------------------------------------------------------------

struct LoopCase {
  const char* label;
  std::int64_t max_rounds, top_k;
  std::optional<std::int64_t> max_top_k;
  int sufficient_on;
  std::vector<std::int64_t> asked;
  std::int64_t final_round_idx, final_top_k;
};

TEST(AgenticRetrievalLoop, CandidateCountsAndCounters) {
  const LoopCase cases[] = {
      {"defaults, never sufficient", 2, 10, std::nullopt, 0, {10, 20}, 2, 30},
      {"capped at 25", 4, 10, 25, 0, {10, 20, 25, 25}, 4, 25},
      {"sufficient in pass 2", 3, 5, std::nullopt, 2, {5, 10}, 1, 10},
      {"one round", 1, 10, std::nullopt, 0, {10}, 1, 20},
      {"sufficient at once", 2, 10, std::nullopt, 1, {10}, 0, 10},
      {"cap equals top_k", 3, 7, 7, 0, {7, 7, 7}, 3, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto retriever = std::make_shared<RecordingRetriever>(make_chunks({"a", "b"}));
    Picker picker;
    auto evaluations = std::make_shared<int>(0);
    AgenticRetrievalPipeline block(retriever, picker.stage(), evaluator_sufficient_on(c.sufficient_on, evaluations),
                                   c.max_rounds, c.top_k, c.max_top_k);
    Dict out = run(block.build());
    EXPECT_EQ(asked_top_k(*retriever), c.asked);
    EXPECT_EQ(*picker.calls, static_cast<int>(c.asked.size()));
    EXPECT_EQ(out.at("round_idx"), Value(c.final_round_idx));
    EXPECT_EQ(out.at("top_k"), Value(c.final_top_k));
    EXPECT_EQ(ids_of(out.at("candidate_chunks")), (std::vector<std::string>{"a", "b"}));
    // Default policy keeps the last pass's selection, sufficient or not.
    EXPECT_EQ(ids_of(out.at("selected_chunks")), std::vector<std::string>{"pick" + std::to_string(c.asked.size())});
  }
}

TEST(AgenticRetrievalLoop, TerminalPolicy) {
  struct Case {
    Value policy;
    int sufficient_on;
    std::vector<std::string> selected;
  };
  const Case cases[] = {
      {"best_effort", 0, {"pick2"}}, {"empty", 0, {}}, {"best_effort", 1, {"pick1"}}, {"empty", 1, {"pick1"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.policy.str() + " sufficient_on=" + std::to_string(c.sufficient_on));
    Picker picker;
    AgenticRetrievalPipeline block(Opts{.retriever = std::make_shared<RecordingRetriever>(),
                                        .selector = picker.stage(),
                                        .evaluator = evaluator_sufficient_on(c.sufficient_on),
                                        .on_insufficient = c.policy});
    EXPECT_EQ(ids_of(run(block.build()).at("selected_chunks")), c.selected);
  }
  // Best effort returns the last selection even when it is empty.
  AgenticRetrievalPipeline block(std::make_shared<RecordingRetriever>(), fixed_stage(selection({})),
                                 evaluator_sufficient_on(0));
  EXPECT_TRUE(run(block.build()).at("selected_chunks").as_list().empty());
}

TEST(AgenticRetrievalLoop, IgnoresCounterValuesOfTheInitialState) {
  auto retriever = std::make_shared<RecordingRetriever>();
  Picker picker;
  AgenticRetrievalPipeline block(retriever, picker.stage(), evaluator_sufficient_on(0));
  Dict initial{{"query", "q"},          {"top_k", 99},
               {"initial_top_k", 3},    {"max_rounds", 7},
               {"round_idx", 5},        {"selected_chunk_limit", 1},
               {"evaluation", Dict{{"is_sufficient", true}}}};
  Dict out = run(block.build(), initial);
  EXPECT_EQ(asked_top_k(*retriever), (std::vector<std::int64_t>{10, 20}));
  EXPECT_EQ(picker.inputs->at(0).at("selected_chunk_limit"), Value(5));
  EXPECT_EQ(out.at("max_rounds"), Value(2));
}

TEST(AgenticRetrievalLoop, LaterRunsSeeConfigurationChangedAfterBuild) {
  AgenticRetrievalPipeline block(std::make_shared<RecordingRetriever>(), Picker().stage(), evaluator_sufficient_on(0));
  auto first = block.build();
  auto second = block.build();
  ASSERT_NE(first, second);

  auto retriever = std::make_shared<RecordingRetriever>();
  Picker picker;
  block.set_retriever(retriever);
  block.set_selector(picker.stage());
  block.set_evaluator(evaluator_sufficient_on(0));
  block.set_top_k(3);
  block.set_max_rounds(3);
  block.set_max_top_k(4);
  block.set_selected_chunk_limit(2);
  block.set_on_insufficient(Policy::EMPTY);
  for (const auto& pipeline : {first, second}) {
    Dict out = run(pipeline);
    EXPECT_TRUE(out.at("selected_chunks").as_list().empty());
    EXPECT_EQ(out.at("top_k"), Value(4));
  }
  EXPECT_EQ(asked_top_k(*retriever), (std::vector<std::int64_t>{3, 4, 4, 3, 4, 4}));
  EXPECT_EQ(picker.inputs->at(0).at("selected_chunk_limit"), Value(2));
}

TEST(AgenticRetrievalLoop, StepsAndHandlers) {
  AgenticRetrievalPipeline block(std::make_shared<RecordingRetriever>(), Picker().stage(), evaluator_sufficient_on(0));
  auto pipeline = block.build();
  EXPECT_EQ(pipeline->state_type(), vorn_rag::blocks::retrieval::detail::AgenticRetrievalState::schema());
  std::vector<std::string> names;
  auto is_pass_through = [](const vorn_pipeline::StepPtr& s) {
    return dynamic_cast<vorn_rag::error_handler::PassThroughBaseErrorHandler*>(s->error_handler().get()) != nullptr;
  };
  for (const auto& s : pipeline->steps()) {
    names.push_back(s->name());
    EXPECT_EQ(is_pass_through(s), s->kind() == vorn_pipeline::StepKind::kTransform) << s->name();
  }
  EXPECT_EQ(names, (std::vector<std::string>{"agentic_retrieval_normalize_state", "agentic_retrieval_loop",
                                             "agentic_retrieval_finalize"}));
  const auto loop = pipeline->describe()[1];
  ASSERT_EQ(loop.kind, vorn_pipeline::StepKind::kWhileDo);
  std::vector<std::string> body;
  for (const auto& s : loop.children.at(0).second) body.push_back(s.name);
  EXPECT_EQ(body, (std::vector<std::string>{"agentic_retrieval_retrieve", "agentic_retrieval_select",
                                            "agentic_retrieval_evaluate", "agentic_retrieval_prepare_retry"}));
}

TEST(AgenticRetrievalLoop, RetryArithmeticSaturatesAndAcceptsMappings) {
  AgenticRetrievalPipeline block(std::make_shared<RecordingRetriever>(), Picker().stage(), evaluator_sufficient_on(0));
  const auto max = std::numeric_limits<std::int64_t>::max();
  Dict data{{"evaluation", Dict{{"is_sufficient", false}}}, {"round_idx", 1}, {"top_k", max - 3}, {"initial_top_k", 10}};
  EXPECT_EQ(ops::_prepare_retry(block.max_top_k(), data), std::make_pair(std::int64_t{2}, max));
  data.set("evaluation", EvaluationResult{true}.to_value());
  EXPECT_EQ(ops::_prepare_retry(block.max_top_k(), data), std::make_pair(std::int64_t{1}, max - 3));

  Dict state{{"evaluation", Dict{{"is_sufficient", false}}}, {"round_idx", 1}, {"max_rounds", 2}};
  EXPECT_TRUE(ops::_should_continue_loop(state));
  state.set("round_idx", 2);
  EXPECT_FALSE(ops::_should_continue_loop(state));
  state.set("evaluation", "done");
  auto e = catch_error<RAGValueError>([&] { ops::_should_continue_loop(state); });
  EXPECT_EQ(e.message(),
            "The `evaluator` returned unsupported data. Make it return EvaluationResult-compatible data and retry.");
}

TEST(AgenticRetrievalLoop, ConfigurationMayChangeWhileAnotherThreadRuns) {
  auto retriever = std::make_shared<RecordingRetriever>();
  AgenticRetrievalPipeline block(retriever, Picker().stage(), evaluator_sufficient_on(0));
  auto pipeline = block.build();
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; !done; i = i % 50 + 1) {
      block.set_top_k(i);
      block.set_max_top_k(i + 5);
    }
  });
  for (int i = 0; i < 100; ++i) run(pipeline);
  done = true;
  writer.join();
  for (auto k : asked_top_k(*retriever)) EXPECT_GE(k, 1);
}

// ---- construction ----------------------------------------------------------------

TEST(AgenticRetrievalConstruction, RefusesInvalidConfigurationInOrder) {
  const Value ok_stage = evaluator_sufficient_on(0);
  const Value pipeline = std::make_shared<vorn_pipeline::Pipeline>();
  const std::string selector_msg = "Invalid `selector` type. Pass a Component, LMRequestProcessor, or Callable and retry.";
  const std::string evaluator_msg =
      "Invalid `evaluator` type. Pass a Component, LMRequestProcessor, Pipeline, or Callable and retry.";
  const std::string policy_msg = "Invalid `on_insufficient`. Use 'best_effort' or 'empty' and retry.";
  struct Case {
    Opts options;
    bool type_error;
    std::string message;
    std::string lookup_failure;  // set when the error translates the policy lookup
  };
  auto opts = [&](auto edit) {
    Opts o{.selector = ok_stage, .evaluator = ok_stage};
    edit(o);
    return o;
  };
  const Case cases[] = {
      {opts([](Opts& o) { o.max_rounds = 0;
         o.top_k = 0; }), false,
       "Invalid `max_rounds`. Set it to 1 or more and retry."},
      {opts([](Opts& o) { o.top_k = 0; }), false, "Invalid `top_k`. Set it to 1 or more and retry."},
      {opts([](Opts& o) { o.max_top_k = 0; }), false,
       "Invalid `max_top_k`. Set it to 1 or more, or omit it, and retry."},
      {opts([](Opts& o) { o.max_top_k = 9; }), false,
       "Invalid `max_top_k`. Set it to at least `top_k`, or omit it, and retry."},
      {opts([](Opts& o) { o.selected_chunk_limit = 0; }), false,
       "Invalid `selected_chunk_limit`. Set it to 1 or more and retry."},
      {opts([&](Opts& o) { o.selected_chunk_limit = 0;
         o.selector = "x";
         o.on_insufficient = Value("x"); }), false,
       "Invalid `selected_chunk_limit`. Set it to 1 or more and retry."},
      {opts([](Opts& o) { o.on_insufficient = Value("EMPTY"); }), false, policy_msg,
       "'EMPTY' is not a valid OnInsufficientPolicy"},
      {opts([](Opts& o) { o.on_insufficient = Value("Empty"); }), false, policy_msg,
       "'Empty' is not a valid OnInsufficientPolicy"},
      {opts([](Opts& o) { o.on_insufficient = Value(); }), false, policy_msg, "None is not a valid OnInsufficientPolicy"},
      {opts([](Opts& o) { o.on_insufficient = static_cast<Policy>(7); }), false, policy_msg,
       "'' is not a valid OnInsufficientPolicy"},
      {opts([](Opts& o) { o.on_insufficient = Value("x");
         o.selector = 1; }), false, policy_msg,
       "'x' is not a valid OnInsufficientPolicy"},
      {opts([](Opts& o) { o.selector = "retrieve please"; }), true, selector_msg},
      {opts([](Opts& o) { o.selector = Value(); }), true, selector_msg},
      {opts([&](Opts& o) { o.selector = pipeline; }), true, selector_msg},
      {opts([](Opts& o) { o.selector = "x";
         o.evaluator = "y"; }), true, selector_msg},
      {opts([](Opts& o) { o.evaluator = make_chunks({"a"})[0]; }), true, evaluator_msg},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message + " " + c.lookup_failure);
    try {
      AgenticRetrievalPipeline block(c.options);
      ADD_FAILURE() << "constructed";
    } catch (const vorn_rag::BaseRAGError& e) {
      EXPECT_EQ(e.message(), c.message);
      EXPECT_EQ(dynamic_cast<const RAGTypeError*>(&e) != nullptr, c.type_error);
      EXPECT_EQ(dynamic_cast<const RAGValueError*>(&e) != nullptr, !c.type_error);
      if (c.lookup_failure.empty()) {
        EXPECT_FALSE(e.debug_info());
        EXPECT_FALSE(e.cause());
        continue;
      }
      ASSERT_TRUE(e.debug_info());
      EXPECT_EQ(*e.debug_info(), (vorn_core::DebugInfo{"RAGValueError", "ValueError", c.lookup_failure}));
      EXPECT_THROW(std::rethrow_exception(e.cause()), vorn_core::ValueError);
    }
  }
}

TEST(AgenticRetrievalConstruction, AcceptsEveryStageKindAndPolicyForm) {
  auto retriever = std::make_shared<RecordingRetriever>();
  AgenticRetrievalPipeline defaults(retriever, Picker().stage(), std::make_shared<vorn_pipeline::Pipeline>());
  EXPECT_EQ(defaults.on_insufficient(), Policy::BEST_EFFORT);
  EXPECT_EQ(defaults.max_rounds(), 2);
  EXPECT_EQ(defaults.top_k(), 10);
  EXPECT_FALSE(defaults.max_top_k());
  EXPECT_EQ(defaults.selected_chunk_limit(), 5);
  EXPECT_EQ(defaults.retriever(), retriever);
  for (const AgenticRetrievalPipeline::OnInsufficientArg& arg :
       {AgenticRetrievalPipeline::OnInsufficientArg(Value("empty")), AgenticRetrievalPipeline::OnInsufficientArg(Policy::EMPTY)}) {
    AgenticRetrievalPipeline b(retriever, Picker().stage(), Picker().stage(), 2, 10, 10, 5, arg);
    EXPECT_EQ(b.on_insufficient(), Policy::EMPTY);
    EXPECT_TRUE(b.on_insufficient() == "empty");
  }
  // The retriever's type is not checked; its absence is reported when a run needs it.
  AgenticRetrievalPipeline no_retriever(nullptr, Picker().stage(), Picker().stage());
  auto e = catch_error<RAGValueError>([&] { run(no_retriever.build()); });
  EXPECT_EQ(e.message(), "Missing `retriever`. Pass a BaseRetriever and retry.");
}

// ---- stage outputs -----------------------------------------------------------------

void expect_translated(const RAGValueError& e, const std::string& message) {
  EXPECT_EQ(e.message(), message);
  ASSERT_TRUE(e.debug_info());
  EXPECT_EQ(e.debug_info()->class_name, "RAGValueError");
  EXPECT_EQ(e.debug_info()->error_type, "ValidationError");
  EXPECT_EQ(e.debug_info()->original_message, vorn_core::exception_message(e.cause()));
  EXPECT_THROW(std::rethrow_exception(e.cause()), vorn_core::ValidationError);
}

TEST(AgenticRetrievalStages, SelectorOutputShapes) {
  const auto seven = make_chunks({"1", "2", "3", "4", "5", "6", "7"});
  struct Case {
    const char* label;
    Value output;
    std::optional<std::vector<std::string>> selected;  // nullopt: refused
  };
  const Case cases[] = {
      {"mapping", selection(make_chunks({"a"})), std::vector<std::string>{"a"}},
      {"mapping of chunk mappings", Dict{{"selected_chunks", List{Dict{{"id", "m"}}}}}, std::vector<std::string>{"m"}},
      {"extra entries ignored", Dict{{"selected_chunks", List{}}, {"why", "none fit"}}, std::vector<std::string>{}},
      {"record", SelectionResult{make_chunks({"r"})}.to_value(), std::vector<std::string>{"r"}},
      {"over the limit, all kept", selection(seven), std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7"}},
      {"bare list", vorn_core::to_value(make_chunks({"a"})), std::nullopt},
      {"string", "a", std::nullopt},
      {"absent", Value(), std::nullopt},
      {"missing field", Dict{}, std::nullopt},
      {"field not a list", Dict{{"selected_chunks", "a"}}, std::nullopt},
      {"element not a chunk", Dict{{"selected_chunks", List{1}}}, std::nullopt},
      {"evaluation record", EvaluationResult{true}.to_value(), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    AgenticRetrievalPipeline block(std::make_shared<RecordingRetriever>(), fixed_stage(c.output),
                                   evaluator_sufficient_on(1));
    if (c.selected) {
      EXPECT_EQ(ids_of(run(block.build()).at("selected_chunks")), *c.selected);
      continue;
    }
    expect_translated(catch_error<RAGValueError>([&] { run(block.build()); }),
                      "The `selector` returned unsupported data. Make it return SelectionResult-compatible data and "
                      "retry.");
  }
}

TEST(AgenticRetrievalStages, EvaluatorOutputShapes) {
  struct Case {
    const char* label;
    Value output;
    std::optional<bool> sufficient;  // nullopt: refused
  };
  const Case cases[] = {
      {"mapping true", Dict{{"is_sufficient", true}}, true},
      {"mapping false", Dict{{"is_sufficient", false}, {"reason", "thin"}}, false},
      {"record", EvaluationResult{true}.to_value(), true},
      {"bare boolean", true, std::nullopt},
      {"absent", Value(), std::nullopt},
      {"missing field", Dict{{"sufficient", true}}, std::nullopt},
      {"not a boolean", Dict{{"is_sufficient", "perhaps"}}, std::nullopt},
      {"list", List{true}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    AgenticRetrievalPipeline block(std::make_shared<RecordingRetriever>(), Picker().stage(), fixed_stage(c.output));
    if (c.sufficient) {
      Dict out = run(block.build());
      EXPECT_EQ(out.at("round_idx"), Value(*c.sufficient ? 0 : 2));
      EXPECT_EQ(out.at("evaluation").get_if<vorn_core::Record>()->get("is_sufficient"), Value(*c.sufficient));
      continue;
    }
    expect_translated(catch_error<RAGValueError>([&] { run(block.build()); }),
                      "The `evaluator` returned unsupported data. Make it return EvaluationResult-compatible data and "
                      "retry.");
  }
}

TEST(AgenticRetrievalStages, RetrieverOutputMustBeAListOfChunks) {
  const std::string message =
      "The `retriever` returned unsupported data. Make it return list[Chunk]-compatible data and retry.";
  EXPECT_TRUE(ops::_normalize_retrieved_chunks(List{}).empty());
  EXPECT_EQ(ids_of(ops::_normalize_retrieved_chunks(vorn_core::to_value(make_chunks({"a", "b"})))),
            (std::vector<std::string>{"a", "b"}));
  for (const Value& bad : {Value(List{make_chunks({"a"})[0], Dict{{"id", "b"}}}), Value(Dict{{"id", "a"}}), Value("a"),
                           Value(), Value(List{List{}})}) {
    SCOPED_TRACE(bad.repr());
    auto e = catch_error<RAGValueError>([&] { ops::_normalize_retrieved_chunks(bad); });
    EXPECT_EQ(e.message(), message);
    EXPECT_FALSE(e.debug_info());
    EXPECT_FALSE(e.cause());
  }
}

// Answers what it was given; records its inputs.
class ScriptedComponent : public vorn_core::Component {
 public:
  explicit ScriptedComponent(Value answer) : answer(std::move(answer)) {}
  Value answer;
  std::vector<Dict> inputs;
  Task<Value> run(Dict in) override {
    inputs.push_back(in);
    co_return answer;
  }
};

vorn_generation::LMRequestProcessorPtr processor(Value structured) {
  return std::make_shared<vorn_generation::LMRequestProcessor>(
      std::make_shared<vorn_generation::PromptBuilder>("", "{query}"),
      std::make_shared<ScriptedLMInvoker>("free text", std::move(structured)));
}

Task<Value> suspend_then_answer(std::shared_ptr<int> awaited) {
  co_await vorn_core::yield_now();
  ++*awaited;
  co_return Dict{{"is_sufficient", true}};
}

TEST(AgenticRetrievalStages, EachStageKindIsCalledItsOwnWay) {
  auto retriever = std::make_shared<RecordingRetriever>(make_chunks({"a", "b"}));
  // Components get the stage inputs as named options, in this order.
  auto selector = std::make_shared<ScriptedComponent>(selection(make_chunks({"b"})));
  auto evaluator = std::make_shared<ScriptedComponent>(Dict{{"is_sufficient", true}});
  AgenticRetrievalPipeline block(retriever, selector, evaluator);
  run(block.build(), Dict{{"query", "why"}});
  ASSERT_EQ(selector->inputs.size(), 1u);
  EXPECT_EQ(selector->inputs[0].keys(), (std::vector<std::string>{"query", "chunks", "selected_chunk_limit"}));
  EXPECT_EQ(ids_of(selector->inputs[0].at("chunks")), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(evaluator->inputs[0].keys(), (std::vector<std::string>{"query", "chunks"}));
  EXPECT_EQ(ids_of(evaluator->inputs[0].at("chunks")), std::vector<std::string>{"b"});

  // A processor answers through `process` and its structured output, not `run`.
  block.set_selector(processor(Dict{{"selected_chunks", List{Dict{{"id", "lm"}}}}}));
  // A pipeline evaluator gets the input mapping as its initial state.
  auto judge = vorn_pipeline::transform({.operation = [](Dict d) -> Value { return !d.at("chunks").as_list().empty(); },
                                         .input_states = {"chunks"},
                                         .output_state = "is_sufficient"});
  block.set_evaluator(std::make_shared<vorn_pipeline::Pipeline>(std::vector<vorn_pipeline::StepPtr>{judge}));
  Dict out = run(block.build());
  EXPECT_EQ(ids_of(out.at("selected_chunks")), std::vector<std::string>{"lm"});
  EXPECT_EQ(out.at("round_idx"), Value(0));

  // An asynchronous callable is awaited once per call.
  auto awaited = std::make_shared<int>(0);
  block.set_evaluator(vorn_core::make_function("async", [awaited](Dict) { return suspend_then_answer(awaited); }));
  EXPECT_EQ(run(block.build()).at("round_idx"), Value(0));
  EXPECT_EQ(*awaited, 1);

  // A stage set after the build is the one the built pipeline's next run
  // calls, a plain Component again after a processor.
  auto built = block.build();
  auto later = std::make_shared<ScriptedComponent>(selection(make_chunks({"a"})));
  block.set_selector(later);
  EXPECT_EQ(ids_of(run(built).at("selected_chunks")), std::vector<std::string>{"a"});
  EXPECT_EQ(later->inputs.size(), 1u);
}

// Suspends once, then answers; a stage swapped out meanwhile must stay alive
// until its call ends (a run holds what it is waiting in).
class SuspendingStage : public vorn_core::Component {
 public:
  explicit SuspendingStage(Value answer) : answer_(std::move(answer)) {}
  Task<Value> run(Dict) override {
    co_await vorn_core::yield_now();
    co_return answer_;
  }

 private:
  Value answer_;
};

Task<Value> final_state_of(vorn_pipeline::PipelinePtr pipeline) {
  Dict initial;
  initial.set("query", "q");
  Dict out = co_await pipeline->invoke(Value(std::move(initial)));
  co_return Value(std::move(out));
}

TEST(AgenticRetrievalStages, AStageSwappedWhileARunWaitsInItLivesUntilTheCallEnds) {
  enum class Which { kRetriever, kSelector, kEvaluator };
  for (Which which : {Which::kRetriever, Which::kSelector, Which::kEvaluator}) {
    SCOPED_TRACE(static_cast<int>(which));
    auto retriever = std::make_shared<RecordingRetriever>(make_chunks({"old"}));
    retriever->behaviour.suspend = which == Which::kRetriever;
    std::shared_ptr<vorn_core::Object> waited_in = retriever;
    Value selector = Picker().stage();
    if (which == Which::kSelector) selector = std::make_shared<SuspendingStage>(selection(make_chunks({"old"})));
    Value evaluator = evaluator_sufficient_on(1);
    if (which == Which::kEvaluator) evaluator = std::make_shared<SuspendingStage>(Dict{{"is_sufficient", true}});
    if (which == Which::kSelector) waited_in = selector.as_object();
    if (which == Which::kEvaluator) waited_in = evaluator.as_object();
    AgenticRetrievalPipeline block(retriever, std::move(selector), std::move(evaluator), 1);
    auto pipeline = block.build();
    std::weak_ptr<vorn_core::Object> watch = waited_in;
    retriever.reset();
    waited_in.reset();

    auto swap = [&]() -> Task<Value> {
      switch (which) {
        case Which::kRetriever: block.set_retriever(std::make_shared<RecordingRetriever>()); break;
        case Which::kSelector: block.set_selector(fixed_stage(selection({}))); break;
        case Which::kEvaluator: block.set_evaluator(evaluator_sufficient_on(1)); break;
      }
      co_return Value(!watch.expired());
    };
    auto both = [&]() -> Task<std::vector<Value>> {
      std::vector<Task<Value>> tasks;
      tasks.push_back(final_state_of(pipeline));
      tasks.push_back(swap());
      co_return co_await vorn_core::when_all(std::move(tasks));
    };
    std::vector<Value> results = vorn_core::run_sync(both());
    EXPECT_EQ(results.at(1), Value(true)) << "released while the run waited in it";
    EXPECT_TRUE(watch.expired()) << "held past the call";
    const Dict& out = results.at(0).as_dict();
    if (which == Which::kRetriever) {
      EXPECT_EQ(ids_of(out.at("candidate_chunks")), std::vector<std::string>{"old"});
    } else {
      EXPECT_EQ(out.at("round_idx"), Value(0));
    }
    if (which == Which::kSelector) {
      EXPECT_EQ(ids_of(out.at("selected_chunks")), std::vector<std::string>{"old"});
    }
  }
}

TEST(AgenticRetrievalStages, RefusalsAtRunTime) {
  AgenticRetrievalPipeline block(std::make_shared<RecordingRetriever>(), Picker().stage(), processor(Value()));
  auto e = catch_error<RAGValueError>([&] { run(block.build()); });
  EXPECT_EQ(e.message(),
            "`evaluator` returned no structured output. Configure its LMRequestProcessor to return structured output "
            "and retry.");
  EXPECT_FALSE(e.debug_info());

  // Attributes are not re-checked; a pipeline selector is still never invoked.
  block.set_selector(std::make_shared<vorn_pipeline::Pipeline>());
  auto t = catch_error<RAGTypeError>([&] { run(block.build()); });
  EXPECT_EQ(t.message(), "Invalid `selector` type. Pass a Component, LMRequestProcessor, or Callable and retry.");
  auto direct = catch_error<RAGTypeError>(
      [&] { vorn_core::run_sync(ops::_invoke_stage("evaluator", Value(3), Dict(), true)); });
  EXPECT_EQ(direct.message(),
            "Invalid `evaluator` type. Pass a Component, LMRequestProcessor, Pipeline, or Callable and retry.");
}

TEST(AgenticRetrievalStages, TypedErrorsPassOtherErrorsAreWrapped) {
  auto throwing = [](std::function<void()> fail) {
    return vorn_core::make_function("fails", [fail](Dict) -> Value {
      fail();
      return Value();
    });
  };
  AgenticRetrievalPipeline typed(std::make_shared<RecordingRetriever>(),
                                 throwing([] { throw vorn_rag::RAGRuntimeError("selector broke"); }), Picker().stage());
  auto e = catch_error<vorn_rag::RAGRuntimeError>([&] { run(typed.build()); });
  EXPECT_EQ(e.message(), "selector broke");
  EXPECT_EQ(e.code(), "VORN-RAG-RUNTIME");

  AgenticRetrievalPipeline plain(std::make_shared<RecordingRetriever>(), Picker().stage(),
                                 throwing([] { throw vorn_core::KeyError("no such key"); }));
  auto w = catch_error<vorn_pipeline::PipelineRuntimeError>([&] { run(plain.build()); });
  EXPECT_EQ(w.step_name(), "agentic_retrieval_evaluate");
  EXPECT_THROW(std::rethrow_exception(w.cause()), vorn_core::KeyError);

  auto retriever = std::make_shared<RecordingRetriever>();
  retriever->behaviour.fail = [] { throw std::runtime_error("index offline"); };
  AgenticRetrievalPipeline failing(retriever, Picker().stage(), Picker().stage());
  EXPECT_EQ(catch_error<vorn_pipeline::PipelineRuntimeError>([&] { run(failing.build()); }).step_name(),
            "agentic_retrieval_retrieve");
}

}  // namespace
