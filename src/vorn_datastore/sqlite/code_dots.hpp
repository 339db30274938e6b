// The scan of a vector search: exact integer dot products of int8 row codes
// with an int16 query code, many rows per call. The widest instructions the
// processor has are chosen once, at the first call, from what it reports
// (AVX-512 with VNNI, AVX2, or plain code that runs anywhere); every choice
// gives the same integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vorn_datastore::sqlite {

enum class CodeDotKernel { portable, avx2, avx512_vnni };

// out[r] = sum over i < dim of codes[r * dim + i] * query[i], for r < rows.
using CodeDotsFn = void (*)(const std::int8_t* codes, std::size_t rows, const std::int16_t* query, std::size_t dim,
                            std::int64_t* out) noexcept;

// The fastest kernel this processor runs.
CodeDotKernel best_code_dot_kernel() noexcept;
// Every kernel this processor runs, portable first (for tests and benchmarks).
std::vector<CodeDotKernel> runnable_code_dot_kernels();
// The kernel's function; `kernel` must be runnable here.
CodeDotsFn code_dots_fn(CodeDotKernel kernel) noexcept;
std::string_view to_string(CodeDotKernel kernel) noexcept;

// With the fastest kernel.
void code_dots(const std::int8_t* codes, std::size_t rows, const std::int16_t* query, std::size_t dim,
               std::int64_t* out) noexcept;

}  // namespace vorn_datastore::sqlite
