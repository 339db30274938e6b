// Shared plumbing of the benchmarks: running a benchmark loop inside one
// event loop, per-iteration allocation counters, and the figures (pairs of a
// measured benchmark and its baseline) that the summary table reports.
#pragma once

#include <benchmark/benchmark.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "alloc_counter.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/task.hpp"

namespace vorn_bench {

// The whole benchmark loop runs as one coroutine on one loop, so neither
// side of a comparison pays for creating an event loop per run.
inline void run_on_loop(vorn_core::Task<void> body) { vorn_core::run_sync(std::move(body)); }

// Allocations and allocated bytes per iteration, as counters "allocs" and
// "alloc_bytes" (bytes handed out over the iteration, not live bytes).
class AllocMeter {
 public:
  AllocMeter() : start_(alloc_snapshot()) {}
  void report(benchmark::State& state) const;

 private:
  AllocSnapshot start_;
};

// ---- figures ----------------------------------------------------------------------

// The median of one benchmark over its repetitions (or its single run).
struct Measurement {
  double real_ns = 0;
  double cpu_ns = 0;
  std::map<std::string, double> counters;
};
using Results = std::map<std::string, Measurement>;

// One line of the summary table.
struct Row {
  std::string figure;
  std::string value;
  std::string baseline;
  std::string ratio;
  std::string target;
  std::string met;  // "yes", "no", or "—" without a target
};

struct Figure {
  std::string title;
  // Empty when a benchmark it needs did not run (filtered out).
  std::function<std::vector<Row>(const Results&)> evaluate;
};

std::vector<Figure>& figures();

// Time of `subject` against `baseline` (CPU time): met when the ratio is at
// most `max_ratio` (no target when it is 0 or less).
void add_ratio_figure(std::string title, std::string subject, std::string baseline, double max_ratio);
// Library overhead (subject minus baseline, CPU time): met when at most
// `max_overhead_ns`; the ratio is shown as well.
void add_overhead_figure(std::string title, std::string subject, std::string baseline, double max_overhead_ns);
// Overhead added per step between two sizes of the same shape:
// ((s_hi - b_hi) - (s_lo - b_lo)) / (hi - lo); met when at most `max_ns`.
void add_per_step_figure(std::string title, std::string subject_lo, std::string baseline_lo, std::string subject_hi,
                         std::string baseline_hi, int steps_lo, int steps_hi, double max_ns);
// A counter of `subject` against the same counter of `baseline`; met when
// the subject's value is at most `max_value` (no target when negative).
void add_counter_figure(std::string title, std::string subject, std::string baseline, std::string counter,
                        std::string unit, double max_value);
// Wall time of `subject` against `baseline` (no target).
void add_wall_time_figure(std::string title, std::string subject, std::string baseline);

// The summary table's formats, for files that define figures of their own:
// a duration with its unit ("1.37 µs") and a ratio ("1.66x").
std::string format_time(double ns);
std::string format_ratio(double ratio);

// Registration hooks of each benchmark file.
void register_pipeline_benchmarks();
void register_strategy_benchmarks();
void register_concurrency_benchmarks();
void register_fusion_benchmarks();
void register_store_benchmarks();
void register_quality_benchmarks();
void register_cold_ask_benchmarks();

// A store of `chunks` generated manual chunks (hashing embeddings, 384
// dimensions), built on first use and removed at exit.
const std::filesystem::path& quality_ask_index(std::size_t chunks);
void register_model_io_benchmarks();
void register_hybrid_benchmarks();
void register_vector_scan_benchmarks();
void register_package_benchmarks();

}  // namespace vorn_bench
