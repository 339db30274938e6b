// Many runs in flight on one loop: 10,000 concurrent `arun`s of one NaiveRAG
// (vorn_core::when_all) whose components each suspend once, against 10,000
// concurrent hand-written chains over the same components. Reports the wall
// time of the whole batch and the peak growth of live heap memory divided by
// the number of runs.
#include <memory>
#include <string>
#include <vector>

#include "components.hpp"
#include "harness.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"

namespace vorn_bench {
namespace {

using vorn_rag::strategies::NaiveRAG;

constexpr int kRuns = 10'000;

struct SuspendingParts {
  std::shared_ptr<NoopRetriever> retriever = std::make_shared<NoopRetriever>(make_chunks("doc-", 3), true);
  std::shared_ptr<FixedSynthesizer> synthesizer = std::make_shared<FixedSynthesizer>(true);
};

Task<Dict> chain(const SuspendingParts* p, std::string query, Value top_k) {
  Dict retrieve;
  retrieve.set("query", Value(query));
  retrieve.set("query_filter", Value());
  retrieve.set("top_k", std::move(top_k));
  retrieve.set("threshold", Value());
  Value chunks = co_await p->retriever->run(std::move(retrieve));
  Dict synthesize;
  synthesize.set("query", Value(query));
  synthesize.set("chunks", chunks);
  Value response = co_await p->synthesizer->run(std::move(synthesize));
  Dict out;
  out.set("response", std::move(response));
  out.set("chunks", std::move(chunks));
  co_return out;
}

// Runs `start(i)` for every i at once and records the peak memory growth.
template <class Start>
Task<void> concurrent_loop(benchmark::State* state, Start start) {
  double growth_sum = 0;
  AllocMeter meter;
  for (auto _ : *state) {
    const std::int64_t before = alloc_snapshot().live_bytes;
    reset_alloc_peak();
    std::vector<Task<Dict>> runs;
    runs.reserve(kRuns);
    for (int i = 0; i < kRuns; ++i) runs.push_back(start());
    std::vector<Dict> results = co_await vorn_core::when_all(std::move(runs));
    growth_sum += static_cast<double>(alloc_peak() - before);
    benchmark::DoNotOptimize(results);
  }
  meter.report(*state);
  state->counters["allocs"] = state->counters["allocs"] / kRuns;
  state->counters["alloc_bytes"] = state->counters["alloc_bytes"] / kRuns;
  state->counters["peak_bytes_per_run"] = growth_sum / static_cast<double>(state->iterations()) / kRuns;
}

}  // namespace

void register_concurrency_benchmarks() {
  benchmark::RegisterBenchmark("concurrent_10k/framework",
                               [](benchmark::State& state) {
                                 SuspendingParts parts;
                                 auto strategy = std::make_shared<NaiveRAG>(parts.retriever, parts.synthesizer);
                                 strategy->build();
                                 run_on_loop(concurrent_loop(&state, [&strategy] { return strategy->arun("question", 5); }));
                               })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("concurrent_10k/chain",
                               [](benchmark::State& state) {
                                 SuspendingParts parts;
                                 run_on_loop(concurrent_loop(&state, [&parts] { return chain(&parts, "question", Value(5)); }));
                               })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  // UseRealTime adds "/real_time" to the names.
  add_wall_time_figure("10,000 concurrent NaiveRAG runs, wall time", "concurrent_10k/framework/real_time",
                       "concurrent_10k/chain/real_time");
  add_counter_figure("10,000 concurrent NaiveRAG runs, peak memory growth per run",
                     "concurrent_10k/framework/real_time", "concurrent_10k/chain/real_time", "peak_bytes_per_run", "B",
                     4096.0);
}

}  // namespace vorn_bench
