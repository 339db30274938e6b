// Every scan kernel this processor runs gives the exact integer dot
// products, at any dimension (tails shorter than a register, blocks longer
// than the int32 lanes may sum) and at the extreme code values.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "code_dots.hpp"

namespace {

using vorn_datastore::sqlite::CodeDotKernel;

std::int64_t reference(const std::int8_t* row, const std::int16_t* q, std::size_t dim) {
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < dim; ++i) sum += std::int64_t{row[i]} * q[i];
  return sum;
}

class CodeDots : public ::testing::TestWithParam<std::tuple<CodeDotKernel, std::size_t>> {};

TEST_P(CodeDots, MatchTheExactSumForRandomAndExtremeCodes) {
  const auto [kernel, dim] = GetParam();
  constexpr std::size_t kRows = 7;  // odd: kernels that pair rows have one left over
  std::mt19937 rng(static_cast<unsigned>(dim));
  std::uniform_int_distribution<int> code(-128, 127), value(-32767, 32767);
  std::vector<std::int8_t> codes(kRows * dim);
  std::vector<std::int16_t> query(dim);
  for (auto& c : codes) c = static_cast<std::int8_t>(code(rng));
  for (auto& v : query) v = static_cast<std::int16_t>(value(rng));
  // Rows 0 and 1 at the largest sums of either sign, over every block.
  for (std::size_t i = 0; i < dim; ++i) {
    query[i] = i % 3 == 0 ? -32767 : 32767;
    codes[i] = static_cast<std::int8_t>(query[i] > 0 ? 127 : -128);
    codes[dim + i] = static_cast<std::int8_t>(query[i] > 0 ? -128 : 127);
  }
  std::vector<std::int64_t> out(kRows, -1);
  vorn_datastore::sqlite::code_dots_fn(kernel)(codes.data(), kRows, query.data(), dim, out.data());
  for (std::size_t r = 0; r < kRows; ++r) {
    EXPECT_EQ(out[r], reference(codes.data() + r * dim, query.data(), dim)) << "row " << r;
  }
}

std::vector<CodeDotKernel> kernels() { return vorn_datastore::sqlite::runnable_code_dot_kernels(); }

INSTANTIATE_TEST_SUITE_P(Kernels, CodeDots,
                         ::testing::Combine(::testing::ValuesIn(kernels()),
                                            ::testing::Values(1, 15, 33, 384, 512, 1030)),
                         [](const auto& info) {
                           return std::string(to_string(std::get<0>(info.param))) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST(CodeDotKernels, TheChosenOneRunsHereAndPortableIsAlwaysThere) {
  const auto all = kernels();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front(), CodeDotKernel::portable);
  EXPECT_NE(std::find(all.begin(), all.end(), vorn_datastore::sqlite::best_code_dot_kernel()), all.end());
}

}  // namespace
