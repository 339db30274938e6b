// Framework overhead of a raw pipeline: N component steps over no-op
// components, against a hand-written coroutine chain that calls the same
// components in the same order with the same inputs.
#include <memory>
#include <string>
#include <vector>

#include "components.hpp"
#include "harness.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_core/trace.hpp"

namespace vorn_bench {
namespace {

struct RawPipeline {
  std::vector<vorn_core::ComponentPtr> components;  // one per step
  vorn_pipeline::PipelinePtr pipeline;
};

RawPipeline make_raw_pipeline(int steps) {
  RawPipeline raw;
  std::vector<vorn_pipeline::StepPtr> built;
  for (int i = 0; i < steps; ++i) {
    auto component = std::make_shared<NoopComponent>();
    raw.components.push_back(component);
    built.push_back(vorn_pipeline::step(component, {.input_map = {{"query", "query"}},
                                                    .output_state = "out_" + std::to_string(i),
                                                    .name = "step_" + std::to_string(i)}));
  }
  raw.pipeline = std::make_shared<vorn_pipeline::Pipeline>(std::move(built));
  return raw;
}

Task<void> raw_pipeline_loop(benchmark::State* state, vorn_pipeline::PipelinePtr pipeline) {
  AllocMeter meter;
  for (auto _ : *state) {
    Dict initial;
    initial.set("query", Value("question"));
    Dict final_state = co_await pipeline->invoke(Value(std::move(initial)));
    benchmark::DoNotOptimize(final_state);
  }
  meter.report(*state);
}

// The same runs, each recorded into its own trace (made per run, as a
// server tracing every request would).
Task<void> traced_pipeline_loop(benchmark::State* state, vorn_pipeline::PipelinePtr pipeline) {
  AllocMeter meter;
  for (auto _ : *state) {
    Dict initial;
    initial.set("query", Value("question"));
    Dict context;
    context.set(vorn_pipeline::Pipeline::kTraceKey, Value(std::make_shared<vorn_core::Trace>()));
    Dict final_state = co_await pipeline->invoke(Value(std::move(initial)), std::move(context));
    benchmark::DoNotOptimize(final_state);
  }
  meter.report(*state);
}

// What a caller writes without the framework: one call per component, each
// result kept.
Task<List> raw_chain(const std::vector<vorn_core::ComponentPtr>* components, std::string query) {
  List results;
  results.reserve(components->size());
  for (const auto& component : *components) {
    Dict inputs;
    inputs.set("query", Value(query));
    results.push_back(co_await component->run(std::move(inputs)));
  }
  co_return results;
}

Task<void> raw_chain_loop(benchmark::State* state, const std::vector<vorn_core::ComponentPtr>* components) {
  AllocMeter meter;
  for (auto _ : *state) {
    List results = co_await raw_chain(components, "question");
    benchmark::DoNotOptimize(results);
  }
  meter.report(*state);
}

}  // namespace

void register_pipeline_benchmarks() {
  for (int steps : {1, 2, 4, 8}) {
    const std::string suffix = "/" + std::to_string(steps);
    benchmark::RegisterBenchmark(("pipeline/framework" + suffix).c_str(), [steps](benchmark::State& state) {
      RawPipeline raw = make_raw_pipeline(steps);
      run_on_loop(raw_pipeline_loop(&state, raw.pipeline));
    });
    benchmark::RegisterBenchmark(("pipeline/traced" + suffix).c_str(), [steps](benchmark::State& state) {
      RawPipeline raw = make_raw_pipeline(steps);
      run_on_loop(traced_pipeline_loop(&state, raw.pipeline));
    });
    benchmark::RegisterBenchmark(("pipeline/chain" + suffix).c_str(), [steps](benchmark::State& state) {
      RawPipeline raw = make_raw_pipeline(steps);
      run_on_loop(raw_chain_loop(&state, &raw.components));
    });
  }
  for (int steps : {1, 2, 4, 8}) {
    const std::string suffix = "/" + std::to_string(steps);
    add_ratio_figure("Raw pipeline, " + std::to_string(steps) + " no-op step(s)", "pipeline/framework" + suffix,
                     "pipeline/chain" + suffix, 0.0);
  }
  add_ratio_figure("Raw pipeline, 8 no-op steps, traced (against untraced)", "pipeline/traced/8",
                   "pipeline/framework/8", 0.0);
  add_per_step_figure("Raw pipeline, each added step (1 → 8 steps)", "pipeline/framework/1", "pipeline/chain/1",
                      "pipeline/framework/8", "pipeline/chain/8", 1, 8, 1000.0);
}

}  // namespace vorn_bench
