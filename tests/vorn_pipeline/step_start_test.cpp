// Steps awaited inside their runner's frame: a failure wherever it arises
// (at once, in the awaited task, while storing the outputs) is handled as the
// step's own in every runner, traced or not; a handler's recovery lets the
// runner go on; steps written against `start` or `run` behave alike; what a
// started task needs stays alive until it ends.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "test_components.hpp"
#include "vorn_core/trace.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_pipeline/pipeline_framework.hpp"

namespace {

using vorn_core::Dict;
using vorn_core::Task;
using vorn_core::Value;
using vorn_pipeline::Pipeline;
using vorn_pipeline::PipelinePtr;
using vorn_pipeline::PipelineRuntimeError;
using vorn_pipeline::PipelineState;
using vorn_pipeline::StepPtr;

PipelinePtr pipeline_of(std::vector<StepPtr> steps) { return std::make_shared<Pipeline>(std::move(steps)); }

Task<Value> after_a_yield(std::function<Value()> answer) {
  co_await vorn_core::yield_now();
  co_return answer();
}

// ---- failures ---------------------------------------------------------------------

struct FailureSource {
  const char* label;
  std::function<StepPtr(vorn_pipeline::ErrorHandlerPtr)> make;  // a step named "s"
  std::string cause;                                             // the cause's message holds this
  std::string code;                                              // the cause's code, as a trace records it
  friend void PrintTo(const FailureSource& f, std::ostream* os) { *os << f.label; }
};

const FailureSource kFailures[] = {
    {"operation_throws_at_once",
     [](auto handler) {
       return vorn_pipeline::transform({.operation = [](Dict) -> Value { throw std::runtime_error("at once"); },
                                        .output_state = "out",
                                        .name = "s",
                                        .error_handler = handler});
     },
     "at once", "runtime_error"},
    {"operation_task_fails_after_suspending",
     [](auto handler) {
       return vorn_pipeline::transform(
           {.operation = [](Dict) { return after_a_yield([]() -> Value { throw std::runtime_error("later"); }); },
            .output_state = "out",
            .name = "s",
            .error_handler = handler});
     },
     "later", "runtime_error"},
    {"component_fails_without_suspending",
     [](auto handler) {
       return vorn_pipeline::step(vorn_test::FailingComponent::with(vorn_core::KeyError("'gone'")),
                                  {.output_state = "out", .name = "s", .error_handler = handler});
     },
     "'gone'", "KeyError"},
    {"outputs_not_stored_at_once",
     [](auto handler) {
       return vorn_pipeline::transform(
           {.operation = [](Dict) { return Value(1); }, .output_state = {"a", "b"}, .name = "s", .error_handler = handler});
     },
     "must return 2 values", "VORN-CORE-VALUE"},
    {"outputs_not_stored_after_suspending",
     [](auto handler) {
       return vorn_pipeline::transform({.operation = [](Dict) { return after_a_yield([] { return Value(1); }); },
                                        .output_state = {"a", "b"},
                                        .name = "s",
                                        .error_handler = handler});
     },
     "must return 2 values", "VORN-CORE-VALUE"},
};

struct Runner {
  const char* label;
  std::function<PipelinePtr(StepPtr failing, StepPtr after)> build;
  friend void PrintTo(const Runner& r, std::ostream* os) { *os << r.label; }
};

// Each runs the failing step once, then `after`.
const Runner kRunners[] = {
    {"pipeline", [](StepPtr s, StepPtr after) { return pipeline_of({s, after}); }},
    {"loop_body",
     [](StepPtr s, StepPtr after) {
       return pipeline_of({vorn_pipeline::while_do(
           {.body = {s, after}, .condition = [](const PipelineState& st) { return !st.contains("after"); }})});
     }},
    {"switch_branch",
     [](StepPtr s, StepPtr after) {
       return pipeline_of({vorn_pipeline::switch_(
           {.condition = [](const PipelineState&) { return std::string("x"); }, .branches = {{"x", {s, after}}}})});
     }},
    {"subgraph", [](StepPtr s, StepPtr after) { return pipeline_of({vorn_pipeline::subgraph({.subgraph = pipeline_of({s, after})})}); }},
};

StepPtr after_step() {
  return vorn_pipeline::transform({.operation = [](Dict) { return Value("ran"); }, .output_state = "after", .name = "after"});
}

class StepFailureTest : public ::testing::TestWithParam<std::tuple<FailureSource, Runner, bool>> {};

TEST_P(StepFailureTest, WrappedOnceNamingTheStepTracedOrNot) {
  const auto& [failure, runner, traced] = GetParam();
  auto pipeline = runner.build(failure.make(nullptr), after_step());
  auto trace = std::make_shared<vorn_core::Trace>();
  Dict context;
  if (traced) context.set("trace", Value(trace));
  try {
    vorn_test::run(pipeline->invoke(Dict{}, context));
    FAIL() << "expected PipelineRuntimeError";
  } catch (const PipelineRuntimeError& e) {
    EXPECT_EQ(e.step_name(), "s");
    EXPECT_NE(vorn_core::exception_message(e.cause()).find(failure.cause), std::string::npos)
        << vorn_core::exception_message(e.cause());
    EXPECT_THROW(
        try { std::rethrow_exception(e.cause()); } catch (const PipelineRuntimeError&) { FAIL() << "wrapped twice"; },
        std::exception);
  }
  if (!traced) {
    EXPECT_TRUE(trace->events().empty());
    return;
  }
  // The failing step's event carries its own failure; "after" never ran.
  bool found = false;
  for (const auto& event : trace->events()) {
    EXPECT_NE(event.name, "after");
    if (event.name != "s") continue;
    found = true;
    EXPECT_TRUE(event.finished);
    EXPECT_FALSE(event.ok);
    EXPECT_EQ(event.error_code, failure.code);
  }
  EXPECT_TRUE(found);
}

// Recovers with one state update; the runner then goes on with "after".
class Recovering : public vorn_pipeline::RaiseStepErrorHandler {
 protected:
  std::optional<Dict> _handle(std::exception_ptr error, PipelineState&, const vorn_pipeline::Runtime&,
                              const vorn_pipeline::ErrorContext&) override {
    return Dict{{"recovered", vorn_core::exception_message(error)}};
  }
};

TEST_P(StepFailureTest, RecoveryByTheHandlerLetsTheRunnerGoOn) {
  const auto& [failure, runner, traced] = GetParam();
  auto pipeline = runner.build(failure.make(std::make_shared<Recovering>()), after_step());
  auto trace = std::make_shared<vorn_core::Trace>();
  Dict context;
  if (traced) context.set("trace", Value(trace));
  Dict out = vorn_test::run(pipeline->invoke(Dict{}, context));
  EXPECT_NE(out.get("recovered").str().find(failure.cause), std::string::npos) << out.get("recovered").str();
  EXPECT_EQ(out.get("after"), Value("ran"));
  EXPECT_FALSE(out.contains("out"));
  EXPECT_FALSE(out.contains("a"));
}

INSTANTIATE_TEST_SUITE_P(SourcesRunners, StepFailureTest,
                         ::testing::Combine(::testing::ValuesIn(kFailures), ::testing::ValuesIn(kRunners),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).label) + "_in_" + std::get<1>(info.param).label +
                                  (std::get<2>(info.param) ? "_traced" : "");
                         });

// ---- steps written against start or run ------------------------------------------------

enum class Answer { kAtOnce, kTaskVoid, kTaskValue };

// Writes "x" = 1 at once, from a `Task<void>`, or through `finish`; the
// value task keeps `owner` alive while it waits.
class StartStep final : public vorn_pipeline::Step {
 public:
  StartStep(Answer answer, std::shared_ptr<int> owner) : Step("start_step", nullptr), answer_(answer), owner_(owner) {}
  vorn_pipeline::StepKind kind() const noexcept override { return vorn_pipeline::StepKind::kTransform; }

 protected:
  Started start(PipelineState& state, const Dict&) const override {
    switch (answer_) {
      case Answer::kAtOnce: state.set("x", 1); return {};
      case Answer::kTaskVoid: return write_later(state);
      case Answer::kTaskValue: {
        auto held = owner_.lock();
        return Started(after_a_yield([] { return Value(1); }), std::move(held));
      }
    }
    return {};
  }
  void finish(Value result, PipelineState& state, const Dict&) const override { state.set("x", std::move(result)); }

 private:
  static Task<void> write_later(PipelineState& state) {
    co_await vorn_core::yield_now();
    state.set("x", 1);
  }
  Answer answer_;
  std::weak_ptr<int> owner_;
};

// The same through `run`.
class RunStep final : public vorn_pipeline::Step {
 public:
  RunStep() : Step("run_step", nullptr) {}
  vorn_pipeline::StepKind kind() const noexcept override { return vorn_pipeline::StepKind::kTransform; }

 protected:
  Task<void> run(PipelineState& state, const Dict&) const override {
    co_await vorn_core::yield_now();
    state.set("x", 1);
  }
};

TEST(StepStartTest, StartAndRunStepsWriteTheSameThroughEveryEntry) {
  for (Answer answer : {Answer::kAtOnce, Answer::kTaskVoid, Answer::kTaskValue}) {
    auto owner = std::make_shared<int>(0);
    std::vector<StepPtr> steps = {std::make_shared<StartStep>(answer, owner), std::make_shared<RunStep>()};
    for (const auto& step : steps) {
      SCOPED_TRACE(step->name() + " answer " + std::to_string(static_cast<int>(answer)));
      EXPECT_EQ(vorn_test::run(pipeline_of({step})->invoke(Dict{})).get("x"), Value(1));
      PipelineState state;
      const Dict context;
      vorn_test::run(step->execute(state, context));
      EXPECT_EQ(state.get("x"), Value(1));
    }
  }
}

TEST(StepStartTest, WhatAStartedTaskHoldsLivesUntilItEnds) {
  auto owner = std::make_shared<int>(0);
  std::weak_ptr<int> watch = owner;
  auto pipeline = pipeline_of({std::make_shared<StartStep>(Answer::kTaskValue, owner)});
  auto run = pipeline->invoke(Dict{});
  // `when_all` starts its tasks in turn: the run suspends in its step's
  // task, the owner is dropped meanwhile, then the run finishes.
  auto interleaved = [&]() -> Task<std::vector<Value>> {
    std::vector<Task<Value>> tasks;
    tasks.push_back([](Task<Dict> r) -> Task<Value> { co_return Value((co_await std::move(r)).get("x")); }(std::move(run)));
    tasks.push_back([](std::shared_ptr<int>* held, std::weak_ptr<int> w) -> Task<Value> {
      held->reset();
      co_return Value(!w.expired());
    }(&owner, watch));
    co_return co_await vorn_core::when_all(std::move(tasks));
  };
  std::vector<Value> results = vorn_test::run(interleaved());
  EXPECT_EQ(results.at(0), Value(1));
  EXPECT_EQ(results.at(1), Value(true)) << "released while the task still waited";
  EXPECT_TRUE(watch.expired()) << "held past the task";
}

}  // namespace
