// The scan of a vector search: int8 row codes against an int16 query code,
// 5,000 rows x 384 values (the size of the cold `ask` index), one call of
// each kernel this processor runs. Baseline: the portable kernel (plain
// C++, vectorised by the compiler for the baseline instruction set), in the
// same run. Results are checked equal before timing.
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "code_dots.hpp"
#include "harness.hpp"

namespace vorn_bench {
namespace {

using vorn_datastore::sqlite::CodeDotKernel;

constexpr std::size_t kRows = 5000;
constexpr std::size_t kDim = 384;

struct ScanCase {
  std::vector<std::int8_t> codes;
  std::vector<std::int16_t> query;
  ScanCase() : codes(kRows * kDim), query(kDim) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> row(-127, 127), q(-32767, 32767);
    for (auto& c : codes) c = static_cast<std::int8_t>(row(rng));
    for (auto& v : query) v = static_cast<std::int16_t>(q(rng));
  }
};

const ScanCase& scan_case() {
  static const ScanCase c;
  return c;
}

void scan(benchmark::State& state, CodeDotKernel kernel) {
  const ScanCase& c = scan_case();
  std::vector<std::int64_t> out(kRows), want(kRows);
  vorn_datastore::sqlite::code_dots_fn(CodeDotKernel::portable)(c.codes.data(), kRows, c.query.data(), kDim,
                                                                want.data());
  const auto fn = vorn_datastore::sqlite::code_dots_fn(kernel);
  fn(c.codes.data(), kRows, c.query.data(), kDim, out.data());
  if (out != want) throw std::logic_error("a scan kernel disagrees with the portable one");
  for (auto _ : state) {
    fn(c.codes.data(), kRows, c.query.data(), kDim, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

}  // namespace

void register_vector_scan_benchmarks() {
  for (CodeDotKernel k : vorn_datastore::sqlite::runnable_code_dot_kernels()) {
    benchmark::RegisterBenchmark(("vector_scan/" + std::string(to_string(k))).c_str(), scan, k)
        ->Unit(benchmark::kMicrosecond);
  }
  const std::string best(to_string(vorn_datastore::sqlite::best_code_dot_kernel()));
  add_ratio_figure("Code scan, 5,000 x 384 (" + best + " kernel, chosen at run time, vs portable)",
                   "vector_scan/" + best, "vector_scan/portable", 1.0);
}

}  // namespace vorn_bench
