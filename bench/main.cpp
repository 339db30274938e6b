// The benchmark binary: registers every benchmark, runs them with Google
// Benchmark's usual flags, then prints the summary table (each figure beside
// its baseline, from the medians of the repetitions).
//
//   vorn_bench [benchmark flags] [--vorn_summary=FILE]
//
// `--vorn_summary=FILE` also writes the table (Markdown) to FILE.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.hpp"

namespace vorn_bench {
namespace {

std::string format(const char* fmt, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

const Measurement* find(const Results& results, const std::string& name) {
  auto it = results.find(name);
  return it == results.end() ? nullptr : &it->second;
}

// Keeps the median of every benchmark (the single run when it is not repeated).
class CapturingReporter : public benchmark::ConsoleReporter {
 public:
  const Results& results() const noexcept { return results_; }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration;
      if (!median && !single) continue;
      const std::string name = run.run_name.str();
      if (single && medians_.count(name)) continue;
      if (median) medians_.insert(name);
      const double to_ns = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      Measurement m;
      m.real_ns = run.GetAdjustedRealTime() * to_ns;
      m.cpu_ns = run.GetAdjustedCPUTime() * to_ns;
      for (const auto& [key, counter] : run.counters) m.counters[key] = counter.value;
      results_[name] = std::move(m);
    }
    ConsoleReporter::ReportRuns(runs);
  }

 private:
  Results results_;
  std::set<std::string> medians_;
};

std::string summary_table(const Results& results) {
  std::ostringstream out;
  out << "| figure | value | baseline | ratio | target | met? |\n";
  out << "|---|---|---|---|---|---|\n";
  for (const Figure& figure : figures()) {
    for (const Row& row : figure.evaluate(results)) {
      out << "| " << row.figure << " | " << row.value << " | " << row.baseline << " | " << row.ratio << " | "
          << row.target << " | " << row.met << " |\n";
    }
  }
  return out.str();
}

std::string allocation_table(const Results& results) {
  std::ostringstream out;
  out << "| benchmark | allocations per iteration | bytes allocated per iteration |\n";
  out << "|---|---|---|\n";
  for (const auto& [name, m] : results) {
    auto allocs = m.counters.find("allocs");
    auto bytes = m.counters.find("alloc_bytes");
    if (allocs == m.counters.end() || bytes == m.counters.end()) continue;
    out << "| " << name << " | " << format("%.1f", allocs->second) << " | " << format("%.0f", bytes->second)
        << " |\n";
  }
  return out.str();
}

}  // namespace

std::string format_time(double ns) {
  const double mag = ns < 0 ? -ns : ns;
  if (mag < 1e3) return format("%.0f ns", ns);
  if (mag < 1e6) return format("%.2f µs", ns / 1e3);
  if (mag < 1e9) return format("%.2f ms", ns / 1e6);
  return format("%.2f s", ns / 1e9);
}

std::string format_ratio(double r) { return format("%.2fx", r); }

// ---- figure kinds -------------------------------------------------------------------

std::vector<Figure>& figures() {
  static std::vector<Figure> all;
  return all;
}

void add_ratio_figure(std::string title, std::string subject, std::string baseline, double max_ratio) {
  figures().push_back(Figure{title, [=](const Results& r) -> std::vector<Row> {
                               const Measurement* s = find(r, subject);
                               const Measurement* b = find(r, baseline);
                               if (!s || !b) return {};
                               const double ratio = s->cpu_ns / b->cpu_ns;
                               const bool has_target = max_ratio > 0;
                               return {Row{title, format_time(s->cpu_ns), format_time(b->cpu_ns), format_ratio(ratio),
                                           has_target ? "≤ " + format("%.0f", max_ratio) + "x baseline" : "—",
                                           has_target ? (ratio <= max_ratio ? "yes" : "no") : "—"}};
                             }});
}

void add_overhead_figure(std::string title, std::string subject, std::string baseline, double max_overhead_ns) {
  figures().push_back(Figure{title, [=](const Results& r) -> std::vector<Row> {
                               const Measurement* s = find(r, subject);
                               const Measurement* b = find(r, baseline);
                               if (!s || !b) return {};
                               const double overhead = s->cpu_ns - b->cpu_ns;
                               return {Row{title, format_time(overhead) + " overhead (" + format_time(s->cpu_ns) + " total)",
                                           format_time(b->cpu_ns), format_ratio(s->cpu_ns / b->cpu_ns),
                                           "overhead ≤ " + format_time(max_overhead_ns),
                                           overhead <= max_overhead_ns ? "yes" : "no"}};
                             }});
}

void add_per_step_figure(std::string title, std::string subject_lo, std::string baseline_lo, std::string subject_hi,
                         std::string baseline_hi, int steps_lo, int steps_hi, double max_ns) {
  figures().push_back(Figure{title, [=](const Results& r) -> std::vector<Row> {
                               const Measurement* slo = find(r, subject_lo);
                               const Measurement* blo = find(r, baseline_lo);
                               const Measurement* shi = find(r, subject_hi);
                               const Measurement* bhi = find(r, baseline_hi);
                               if (!slo || !blo || !shi || !bhi) return {};
                               const double steps = steps_hi - steps_lo;
                               const double framework = (shi->cpu_ns - slo->cpu_ns) / steps;
                               const double chain = (bhi->cpu_ns - blo->cpu_ns) / steps;
                               const double overhead = framework - chain;
                               return {Row{title,
                                           format_time(overhead) + " overhead per step (" + format_time(framework) +
                                               " per step in total)",
                                           format_time(chain) + " per step", format_ratio(framework / chain),
                                           "≤ " + format_time(max_ns) + " per step", overhead <= max_ns ? "yes" : "no"}};
                             }});
}

void add_counter_figure(std::string title, std::string subject, std::string baseline, std::string counter,
                        std::string unit, double max_value) {
  figures().push_back(Figure{title, [=](const Results& r) -> std::vector<Row> {
                               const Measurement* s = find(r, subject);
                               const Measurement* b = find(r, baseline);
                               if (!s || !b || !s->counters.count(counter) || !b->counters.count(counter)) return {};
                               const double sv = s->counters.at(counter);
                               const double bv = b->counters.at(counter);
                               const bool has_target = max_value >= 0;
                               return {Row{title, format("%.0f ", sv) + unit, format("%.0f ", bv) + unit,
                                           format_ratio(sv / bv),
                                           has_target ? "≤ " + format("%.0f ", max_value) + unit : "—",
                                           has_target ? (sv <= max_value ? "yes" : "no") : "—"}};
                             }});
}

void add_wall_time_figure(std::string title, std::string subject, std::string baseline) {
  figures().push_back(Figure{title, [=](const Results& r) -> std::vector<Row> {
                               const Measurement* s = find(r, subject);
                               const Measurement* b = find(r, baseline);
                               if (!s || !b) return {};
                               return {Row{title, format_time(s->real_ns), format_time(b->real_ns),
                                           format_ratio(s->real_ns / b->real_ns), "—", "—"}};
                             }});
}

void AllocMeter::report(benchmark::State& state) const {
  const AllocSnapshot end = alloc_snapshot();
  const double iterations = static_cast<double>(state.iterations());
  if (iterations <= 0) return;
  state.counters["allocs"] = static_cast<double>(end.allocations - start_.allocations) / iterations;
  state.counters["alloc_bytes"] = static_cast<double>(end.allocated_bytes - start_.allocated_bytes) / iterations;
}

}  // namespace vorn_bench

int main(int argc, char** argv) {
  std::string summary_path;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    constexpr const char* kFlag = "--vorn_summary=";
    if (std::strncmp(argv[i], kFlag, std::strlen(kFlag)) == 0) {
      summary_path = argv[i] + std::strlen(kFlag);
    } else {
      args.push_back(argv[i]);
    }
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;

  vorn_bench::register_pipeline_benchmarks();
  vorn_bench::register_strategy_benchmarks();
  vorn_bench::register_concurrency_benchmarks();
  vorn_bench::register_fusion_benchmarks();
  vorn_bench::register_store_benchmarks();
  vorn_bench::register_quality_benchmarks();
  vorn_bench::register_cold_ask_benchmarks();
  vorn_bench::register_model_io_benchmarks();
  vorn_bench::register_hybrid_benchmarks();
  vorn_bench::register_vector_scan_benchmarks();
  vorn_bench::register_package_benchmarks();

  vorn_bench::CapturingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const std::string table = vorn_bench::summary_table(reporter.results());
  const std::string allocations = vorn_bench::allocation_table(reporter.results());
  std::cout << "\nSummary (medians; CPU time unless marked wall time)\n\n" << table << "\nAllocations\n\n"
            << allocations;
  if (!summary_path.empty()) {
    std::ofstream file(summary_path);
    file << table << "\n" << allocations;
  }
  return 0;
}
