// Running pipelines: step error handling, initial states, tools and routers.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_components.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/error.hpp"
#include "vorn_core/record.hpp"
#include "vorn_pipeline/pipeline_framework.hpp"

namespace demo {
VORN_DEFINE_ABSTRACT_ERROR(DemoError);
VORN_DEFINE_ERROR(DemoRuntimeError, DemoError, ::vorn_core::RuntimeError, "DEMO-RUNTIME", "Demo failed. Try again.");
}  // namespace demo

namespace {

using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Value;
using vorn_pipeline::ErrorContext;
using vorn_pipeline::Pipeline;
using vorn_pipeline::PipelinePtr;
using vorn_pipeline::PipelineRuntimeError;
using vorn_pipeline::PipelineState;
using vorn_pipeline::Runtime;
using vorn_pipeline::StepPtr;
using vorn_test::FailingComponent;

Dict invoke(const PipelinePtr& p, Value initial = Dict{}, Dict context = {}) {
  return vorn_test::run(p->invoke(std::move(initial), std::move(context)));
}

PipelinePtr pipeline_of(std::vector<StepPtr> steps) { return std::make_shared<Pipeline>(std::move(steps)); }

// Lets errors of the BaseError family through unchanged; wraps the rest.
class PassThroughTyped : public vorn_pipeline::RaiseStepErrorHandler {
 protected:
  std::optional<Dict> _handle(std::exception_ptr error, PipelineState& state, const Runtime& runtime,
                              const ErrorContext& context) override {
    try {
      std::rethrow_exception(error);
    } catch (const vorn_core::BaseError&) {
      throw;
    } catch (...) {
    }
    return RaiseStepErrorHandler::_handle(std::move(error), state, runtime, context);
  }
};

// Where the failing step sits: at the top or nested in another step (that
// has the default handler).
struct Placement {
  const char* label;
  std::function<PipelinePtr(StepPtr)> build;
  friend void PrintTo(const Placement& p, std::ostream* os) { *os << p.label; }
};

const Placement kPlacements[] = {
    {"top_level", [](StepPtr s) { return pipeline_of({s}); }},
    {"switch_branch",
     [](StepPtr s) {
       return pipeline_of({vorn_pipeline::switch_(
           {.condition = [](const PipelineState&) { return std::string("x"); }, .branches = {{"x", {s}}}})});
     }},
    {"switch_default",
     [](StepPtr s) {
       return pipeline_of({vorn_pipeline::switch_(
           {.condition = [](const PipelineState&) { return std::string("?"); }, .default_branch = {s}})});
     }},
    {"loop_body",
     [](StepPtr s) {
       return pipeline_of({vorn_pipeline::while_do(
           {.body = {s}, .condition = [](const PipelineState&) { return true; }, .name = "loop"})});
     }},
    {"subgraph", [](StepPtr s) { return pipeline_of({vorn_pipeline::subgraph({.subgraph = pipeline_of({s})})}); }},
    {"subgraph_in_loop",
     [](StepPtr s) {
       auto sub = vorn_pipeline::subgraph({.subgraph = pipeline_of({s})});
       return pipeline_of({vorn_pipeline::while_do(
           {.body = {sub}, .condition = [](const PipelineState&) { return true; }})});
     }},
};

class StepErrorTest : public ::testing::TestWithParam<Placement> {};

TEST_P(StepErrorTest, PlainErrorIsWrappedOnceNamingTheFailingStep) {
  auto failing = FailingComponent::with(std::runtime_error("kaboom"), /*suspend_first=*/true);
  auto p = GetParam().build(vorn_pipeline::step(failing, {.name = "explode"}));
  try {
    invoke(p);
    FAIL() << "expected PipelineRuntimeError";
  } catch (const PipelineRuntimeError& e) {
    EXPECT_EQ(e.step_name(), "explode");
    EXPECT_EQ(e.message(), "Step 'explode' failed with runtime_error: kaboom");
    EXPECT_EQ(e.code(), "VORN-PIPELINE-RUNTIME");
    const vorn_core::BaseError& as_base = e;
    const vorn_core::RuntimeError& as_host = e;
    EXPECT_EQ(as_base.message(), as_host.what());
    try {
      std::rethrow_exception(e.cause());
    } catch (const PipelineRuntimeError&) {
      FAIL() << "wrapped twice";
    } catch (const std::runtime_error& original) {
      EXPECT_STREQ(original.what(), "kaboom");
    }
  }
  EXPECT_EQ(failing->calls, 1);
}

TEST_P(StepErrorTest, TypedErrorLetThroughByTheStepHandlerReachesTheCallerUnchanged) {
  auto original = std::make_exception_ptr(demo::DemoRuntimeError("typed failure"));
  const void* original_address = nullptr;
  try {
    std::rethrow_exception(original);
  } catch (const demo::DemoError& e) {
    original_address = &e;
  }
  auto failing = std::make_shared<FailingComponent>(original);
  auto p = GetParam().build(
      vorn_pipeline::step(failing, {.name = "typed", .error_handler = std::make_shared<PassThroughTyped>()}));
  try {
    invoke(p);
    FAIL() << "expected DemoRuntimeError";
  } catch (const PipelineRuntimeError&) {
    FAIL() << "the typed error was wrapped";
  } catch (const demo::DemoError& e) {
    EXPECT_EQ(static_cast<const void*>(&e), original_address) << "the very same error object";
    EXPECT_EQ(e.code(), "DEMO-RUNTIME");
    EXPECT_EQ(e.message(), "typed failure");
  }
}

INSTANTIATE_TEST_SUITE_P(Placements, StepErrorTest, ::testing::ValuesIn(kPlacements),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(StepErrorHandlingTest, DefaultHandlerWrapsTypedErrorsToo) {
  auto failing = FailingComponent::with(demo::DemoRuntimeError());
  try {
    invoke(pipeline_of({vorn_pipeline::step(failing, {.name = "plain"})}));
    FAIL() << "expected PipelineRuntimeError";
  } catch (const PipelineRuntimeError& e) {
    EXPECT_EQ(e.message(), "Step 'plain' failed with DemoRuntimeError: Demo failed. Try again.");
    EXPECT_THROW(std::rethrow_exception(e.cause()), demo::DemoRuntimeError);
  }
}

TEST(StepErrorHandlingTest, CustomHandlerWrapsNonTypedErrors) {
  auto failing = FailingComponent::with(vorn_core::KeyError("'k'"));
  auto s = vorn_pipeline::step(failing, {.name = "lookup", .error_handler = std::make_shared<PassThroughTyped>()});
  try {
    invoke(pipeline_of({s}));
    FAIL() << "expected PipelineRuntimeError";
  } catch (const PipelineRuntimeError& e) {
    EXPECT_EQ(e.message(), "Step 'lookup' failed with KeyError: 'k'");
    EXPECT_THROW(std::rethrow_exception(e.cause()), vorn_core::KeyError);
  }
}

// Records what the framework tells the handler and recovers with updates.
class RecoveringHandler : public vorn_pipeline::RaiseStepErrorHandler {
 public:
  ErrorContext seen_context;
  Value seen_state_query;
  Value seen_run_option;

 protected:
  std::optional<Dict> _handle(std::exception_ptr error, PipelineState& state, const Runtime& runtime,
                              const ErrorContext& context) override {
    seen_context = context;
    seen_state_query = state.get("user_query");
    seen_run_option = runtime.context ? runtime.context->get("top_k") : Value("no context");
    return Dict{{"recovered", vorn_core::exception_message(error)}};
  }
};

TEST(StepErrorHandlingTest, HandlerSeesTheStepAndMayRecover) {
  auto handler = std::make_shared<RecoveringHandler>();
  auto failing = vorn_pipeline::transform({.operation = [](Dict) -> Value { throw std::logic_error("nope"); },
                                           .output_state = "never",
                                           .name = "fragile",
                                           .error_handler = handler});
  auto after = vorn_pipeline::transform(
      {.operation = [](Dict) { return Value("ran"); }, .output_state = "after", .name = "after"});
  Dict out = invoke(pipeline_of({failing, after}), Dict{{"user_query", "q"}}, Dict{{"top_k", 4}});
  EXPECT_EQ(handler->seen_context.step_name, "fragile");
  EXPECT_EQ(handler->seen_context.step_kind, "transform");
  EXPECT_EQ(handler->seen_state_query, Value("q"));
  EXPECT_EQ(handler->seen_run_option, Value(4));
  EXPECT_EQ(out.get("recovered"), Value("nope"));
  EXPECT_EQ(out.get("after"), Value("ran"));
  EXPECT_FALSE(out.contains("never"));
}

struct AbsentCase {
  const char* label;
  StepPtr step;
  friend void PrintTo(const AbsentCase& c, std::ostream* os) { *os << c.label; }
};

class AbsentComponentTest : public ::testing::TestWithParam<AbsentCase> {};

TEST_P(AbsentComponentTest, ReportedThroughTheStepNotACrash) {
  try {
    invoke(pipeline_of({GetParam().step}), Dict{{"items", List{1}}});
    FAIL() << "expected PipelineRuntimeError";
  } catch (const PipelineRuntimeError& e) {
    EXPECT_EQ(e.step_name(), "hollow");
    EXPECT_NE(e.message().find("Step 'hollow' has no component to call."), std::string::npos) << e.message();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, AbsentComponentTest,
    ::testing::Values(AbsentCase{"step", vorn_pipeline::step(nullptr, {.output_state = "x", .name = "hollow"})},
                      AbsentCase{"transform", vorn_pipeline::transform({.output_state = "x", .name = "hollow"})},
                      AbsentCase{"map_reduce_component",
                                 vorn_pipeline::map_reduce({.output_state = "x",
                                                            .map_func = vorn_core::ComponentPtr(),
                                                            .input_map = {{"items", "items"}},
                                                            .name = "hollow"})},
                      AbsentCase{"map_reduce_operation",
                                 vorn_pipeline::map_reduce({.output_state = "x",
                                                            .map_func = vorn_pipeline::Operation(),
                                                            .input_map = {{"items", "items"}},
                                                            .name = "hollow"})},
                      AbsentCase{"subgraph", vorn_pipeline::subgraph({.name = "hollow"})},
                      AbsentCase{"switch", vorn_pipeline::switch_({.name = "hollow"})},
                      AbsentCase{"while_do", vorn_pipeline::while_do({.name = "hollow"})}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- initial states -------------------------------------------------------------

PipelinePtr echo_pipeline() {
  auto echo = vorn_pipeline::transform(
      {.operation = [](Dict d) { return Value("re:" + d.at("user_query").as_string()); },
       .input_states = {"user_query"},
       .output_state = "response"});
  return std::make_shared<Pipeline>(std::vector<StepPtr>{echo}, vorn_pipeline::RAGStateModel::schema());
}

TEST(InvokeTest, RecordMappingAndAbsentInitialStates) {
  auto p = echo_pipeline();
  const auto& schema = vorn_pipeline::RAGStateModel::schema();

  Dict from_record = invoke(p, Value(schema->make({{"user_query", "q"}})));
  EXPECT_EQ(from_record.get("response"), Value("re:q"));
  std::vector<std::string> field_keys;
  for (const auto& f : schema->fields()) field_keys.push_back(f.name);
  EXPECT_EQ(from_record.keys(), field_keys) << "every field, in field order";

  Dict from_mapping = invoke(p, Dict{{"user_query", "m"}, {"extra", 1}});
  EXPECT_EQ(from_mapping.get("response"), Value("re:m"));
  EXPECT_EQ(from_mapping.get("chunks"), Value(List{})) << "defaults fill missing fields";
  EXPECT_EQ(from_mapping.get("extra"), Value(1)) << "keys that are no field pass through";

  EXPECT_EQ(invoke(p, Value()).get("response"), Value("re:"));
}

TEST(InvokeTest, MappingFieldsAreValidated) {
  auto p = echo_pipeline();
  EXPECT_THROW(invoke(p, Dict{{"user_query", 3}}), vorn_core::ValidationError);
  EXPECT_THROW(invoke(p, Dict{{"chunks", List{"not a chunk"}}}), vorn_core::ValidationError);
  Dict lax = invoke(p, Dict{{"chunks", List{Dict{{"id", "c1"}}}}});
  ASSERT_EQ(lax.get("chunks").as_list().size(), 1u);
  EXPECT_NE(vorn_core::chunk_of(lax.get("chunks").as_list()[0]), nullptr);
  EXPECT_THROW(invoke(p, Value(42)), std::invalid_argument);
}

TEST(InvokeTest, RequiredFieldsMustBeGiven) {
  auto schema = vorn_core::Schema::create(
      "Needs", {vorn_core::Field::required("question", vorn_core::TypeSpec::string())});
  auto p = std::make_shared<Pipeline>(std::vector<StepPtr>{}, schema);
  EXPECT_THROW(invoke(p, Value()), vorn_core::ValidationError);
  EXPECT_THROW(invoke(p, Dict{}), vorn_core::ValidationError);
  EXPECT_EQ(invoke(p, Dict{{"question", "q"}}), (Dict{{"question", "q"}}));
}

TEST(InvokeTest, RunOwnsThePipelineOnceInvoked) {
  auto p = pipeline_of({vorn_pipeline::step(
      std::make_shared<vorn_test::YieldingComponent>(std::make_shared<vorn_test::EventLog>(), "x",
                                                     vorn_test::returns("done")),
      {.output_state = "out"})});
  std::weak_ptr<Pipeline> watch = p;
  auto task = p->invoke(Dict{});
  p.reset();
  EXPECT_FALSE(watch.expired()) << "the task holds the pipeline";
  EXPECT_EQ(vorn_test::run(std::move(task)).get("out"), Value("done"));
  EXPECT_TRUE(watch.expired());
}

// ---- tools and routers -------------------------------------------------------------

TEST(ToolTest, RunGivesTheFinalState) {
  auto tool = echo_pipeline()->as_tool("echo", "Echoes the question");
  EXPECT_EQ(tool->name(), "echo");
  EXPECT_EQ(tool->description(), "Echoes the question");
  EXPECT_EQ(tool->run(Dict{{"user_query", "hi"}}).get("response"), Value("re:hi"));
  EXPECT_THROW(tool->run(Dict{{"user_query", 1}}), vorn_core::ValidationError);

  auto task = tool->arun(Dict{{"user_query", "later"}});
  tool.reset();
  EXPECT_EQ(vorn_test::run(std::move(task)).get("response"), Value("re:later"));
}

class PrefixRouter : public vorn_pipeline::BaseRouter {
 public:
  vorn_core::Task<Value> route(std::string query) override {
    co_await vorn_core::yield_now();
    co_return Value(query.rfind("how", 0) == 0 ? "docs" : "chat");
  }
};

TEST(RouterTest, RunRoutesTheSourceInput) {
  auto router = std::make_shared<PrefixRouter>();
  EXPECT_EQ(vorn_test::run(router->run(Dict{{"source", "how do I"}})), Value("docs"));
  EXPECT_EQ(vorn_test::run(router->run(Dict{{"query", "hello"}})), Value("chat"));
  EXPECT_EQ(vorn_test::run(router->run(Dict{{"source", "how"}, {"query", "hello"}})), Value("docs"));
  EXPECT_THROW(vorn_test::run(router->run(Dict{{"source", 3}})), vorn_core::TypeError);
  EXPECT_THROW(vorn_test::run(router->run(Dict{})), vorn_core::TypeError);

  // As a pipeline step.
  auto route = vorn_pipeline::step(router, {.input_map = {{"source", "user_query"}}, .output_state = "route"});
  EXPECT_EQ(invoke(pipeline_of({route}), Dict{{"user_query", "how to"}}).get("route"), Value("docs"));
}

}  // namespace
