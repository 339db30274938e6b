// Per-run traces: two runs interleaved on one loop record into their own
// traces, nested steps record under their parents, notes land in the run
// that made them, failures carry their code.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "test_components.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/trace.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_pipeline/pipeline_framework.hpp"

namespace {

using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Trace;
using vorn_core::TraceEvent;
using vorn_core::Value;
using vorn_pipeline::Pipeline;
using vorn_pipeline::PipelinePtr;
using vorn_pipeline::PipelineState;

// Suspends, then notes the run's label into the current trace and answers
// `count` chunks, `count` taken from the input.
class NotingRetriever : public vorn_core::Component {
 public:
  vorn_core::Task<Value> run(Dict inputs) override {
    co_await vorn_core::yield_now();
    const std::string label = inputs.get("label").str();
    if (Trace* trace = vorn_core::current_trace()) trace->note("retrieved", {{"label", Value(label)}});
    List chunks;
    for (std::int64_t i = 0; i < inputs.get("count").as_int(); ++i) {
      chunks.emplace_back(std::make_shared<vorn_core::Chunk>(label + std::to_string(i), "text"));
    }
    co_return chunks;
  }
};

// retrieve → subgraph[ switch[ while_do[ grow ] ] ] → map_reduce over the chunks.
PipelinePtr traced_pipeline() {
  auto retriever = std::make_shared<NotingRetriever>();
  auto retrieve = vorn_pipeline::step(
      retriever, {.input_map = {{"label", "label"}, {"count", "count"}}, .output_state = "chunks", .name = "retrieve"});
  auto grow = vorn_pipeline::transform({.operation = [](Dict d) -> vorn_core::Task<Value> {
                                          co_await vorn_core::yield_now();
                                          co_return Value(d.get("rounds").as_int() + 1);
                                        },
                                        .input_states = {"rounds"},
                                        .output_state = "rounds",
                                        .name = "grow"});
  auto loop = vorn_pipeline::while_do(
      {.body = {grow}, .condition = [](const PipelineState& s) { return s.get("rounds").as_int() < 2; }, .name = "loop"});
  auto pick = vorn_pipeline::switch_({.condition = [](const PipelineState&) { return std::string("go"); },
                                      .branches = {{"go", {loop}}},
                                      .name = "pick"});
  auto inner = std::make_shared<Pipeline>(std::vector<vorn_pipeline::StepPtr>{pick});
  auto nested = vorn_pipeline::subgraph({.subgraph = inner, .name = "nested"});
  auto per_chunk = vorn_pipeline::map_reduce({.output_state = "ids",
                                              .map_func = vorn_pipeline::Operation([](Dict d) -> vorn_core::Task<Value> {
                                                co_await vorn_core::yield_now();
                                                co_return Value(d.get("chunks").as<vorn_core::Chunk>()->id);
                                              }),
                                              .input_map = {{"chunks", "chunks"}},
                                              .name = "per_chunk"});
  return std::make_shared<Pipeline>(std::vector<vorn_pipeline::StepPtr>{retrieve, nested, per_chunk});
}

struct Expected {
  std::string name;
  std::string kind;
  std::int64_t parent;
  int depth;
};

void expect_run_trace(const std::vector<TraceEvent>& events, const std::string& label, std::size_t chunks) {
  const std::vector<Expected> expected = {
      {"retrieve", "step", -1, 0},       {"retrieved", "note", 0, 1}, {"nested", "subgraph", -1, 0},
      {"pick", "switch", 2, 1},          {"loop", "while_do", 3, 2},  {"grow", "transform", 4, 3},
      {"grow", "transform", 4, 3},       {"per_chunk", "map_reduce", -1, 0},
  };
  ASSERT_EQ(events.size(), expected.size()) << label;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(label + " event " + std::to_string(i));
    EXPECT_EQ(events[i].name, expected[i].name);
    EXPECT_EQ(events[i].kind, expected[i].kind);
    EXPECT_EQ(events[i].parent, expected[i].parent);
    EXPECT_EQ(events[i].depth, expected[i].depth);
    EXPECT_TRUE(events[i].finished);
    EXPECT_TRUE(events[i].ok);
    EXPECT_GE(events[i].duration_ms, 0.0);
    if (i) {
      EXPECT_GE(events[i].start_ms, events[i - 1].start_ms);
    }
  }
  EXPECT_EQ(events[1].data.get("label").str(), label);
  EXPECT_EQ(events[0].chunks, chunks);
  EXPECT_EQ(events[2].chunks, std::nullopt);  // a subgraph's steps report their own
  EXPECT_EQ(events[5].chunks, std::nullopt);  // an int is no chunk list
  // A parent lasts at least as long as what it ran.
  EXPECT_GE(events[4].duration_ms, events[5].duration_ms);
}

TEST(TraceTest, TwoRunsInterleavedOnOneLoopGetSeparateTraces) {
  PipelinePtr pipeline = traced_pipeline();
  auto trace_a = std::make_shared<Trace>();
  auto trace_b = std::make_shared<Trace>();
  auto runs = [&]() -> vorn_core::Task<std::vector<Dict>> {
    std::vector<vorn_core::Task<Dict>> tasks;
    // One run asks through its context, the other is traced by its caller.
    tasks.push_back(pipeline->invoke(Dict{{"label", Value("a")}, {"count", Value(2)}, {"rounds", Value(0)}},
                                     Dict{{"trace", Value(trace_a)}}));
    tasks.push_back(vorn_core::traced(
        trace_b, pipeline->invoke(Dict{{"label", Value("b")}, {"count", Value(3)}, {"rounds", Value(0)}})));
    // An untraced run beside them records nowhere.
    tasks.push_back(pipeline->invoke(Dict{{"label", Value("c")}, {"count", Value(1)}, {"rounds", Value(0)}}));
    co_return co_await vorn_core::when_all(std::move(tasks));
  };
  std::vector<Dict> states = vorn_test::run(runs());
  ASSERT_EQ(states.size(), 3u);
  EXPECT_EQ(states[1].get("ids"), Value(List{Value("b0"), Value("b1"), Value("b2")}));
  expect_run_trace(trace_a->events(), "a", 2);
  expect_run_trace(trace_b->events(), "b", 3);
  EXPECT_EQ(vorn_core::current_trace(), nullptr);
}

TEST(TraceTest, FailedStepRecordsItsCodeAndEnclosingStepsTheWrapper) {
  auto failing = vorn_test::FailingComponent::with(vorn_core::ValueError("bad"), /*suspend_first=*/true);
  auto inner = std::make_shared<Pipeline>(
      std::vector<vorn_pipeline::StepPtr>{vorn_pipeline::step(failing, {.output_state = "x", .name = "boom"})});
  auto pipeline = std::make_shared<Pipeline>(
      std::vector<vorn_pipeline::StepPtr>{vorn_pipeline::subgraph({.subgraph = inner, .name = "outer"})});
  auto trace = std::make_shared<Trace>();
  EXPECT_THROW(vorn_test::run(pipeline->invoke(Dict{}, Dict{{"trace", Value(trace)}})),
               vorn_pipeline::PipelineRuntimeError);
  const auto events = trace->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].ok);
  EXPECT_EQ(events[0].error_code, "VORN-PIPELINE-RUNTIME");  // what left the nested step
  EXPECT_FALSE(events[1].ok);
  EXPECT_EQ(events[1].error_code, "ValueError");  // the step's own failure, before its handler
  EXPECT_EQ(events[1].parent, 0);
}

TEST(TraceTest, ScopeTracesABlockingRunAndNotesOutsideStepsGoToTheTop) {
  PipelinePtr pipeline = traced_pipeline();
  auto trace = std::make_shared<Trace>();
  {
    vorn_core::TraceScope scope(*trace);
    vorn_test::run(pipeline->invoke(Dict{{"label", Value("s")}, {"count", Value(1)}, {"rounds", Value(1)}}));
    trace->note("done");
  }
  const auto events = trace->events();
  ASSERT_EQ(events.size(), 8u);  // 6 steps (one round), the retriever's note and ours
  EXPECT_EQ(events.back().name, "done");
  EXPECT_EQ(events.back().parent, -1);
  EXPECT_EQ(vorn_core::current_trace(), nullptr);
}

}  // namespace
