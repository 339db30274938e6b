#include "code_dots.hpp"

#include <algorithm>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORN_X86_KERNELS 1
#include <immintrin.h>
#endif

namespace vorn_datastore::sqlite {
namespace {

// Up to 512 products of at most 128 * 32767 each stay inside int32, so
// sums are kept in int32 lanes within a block of 512 values and widened
// once per block.
constexpr std::size_t kBlock = 512;

void dots_portable(const std::int8_t* codes, std::size_t rows, const std::int16_t* query, std::size_t dim,
                   std::int64_t* out) noexcept {
  for (std::size_t r = 0; r < rows; ++r) {
    const std::int8_t* row = codes + r * dim;
    std::int64_t total = 0;
    for (std::size_t start = 0; start < dim; start += kBlock) {
      const std::size_t end = std::min(dim, start + kBlock);
      std::int32_t sum = 0;
      for (std::size_t i = start; i < end; ++i) sum += static_cast<std::int32_t>(row[i]) * query[i];
      total += sum;
    }
    out[r] = total;
  }
}

#ifdef VORN_X86_KERNELS

std::int64_t tail(const std::int8_t* row, const std::int16_t* query, std::size_t from, std::size_t dim) noexcept {
  std::int64_t sum = 0;
  for (std::size_t i = from; i < dim; ++i) sum += static_cast<std::int32_t>(row[i]) * query[i];
  return sum;
}

__attribute__((target("avx2"))) void dots_avx2(const std::int8_t* codes, std::size_t rows,
                                               const std::int16_t* query, std::size_t dim,
                                               std::int64_t* out) noexcept {
  const std::size_t main = dim & ~std::size_t{15};
  for (std::size_t r = 0; r < rows; ++r) {
    const std::int8_t* row = codes + r * dim;
    std::int64_t total = 0;
    for (std::size_t start = 0; start < main; start += kBlock) {
      const std::size_t end = std::min(main, start + kBlock);
      __m256i acc = _mm256_setzero_si256();
      for (std::size_t i = start; i < end; i += 16) {
        const __m256i r16 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i)));
        const __m256i q16 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i));
        acc = _mm256_add_epi32(acc, _mm256_madd_epi16(r16, q16));
      }
      __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
      s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
      s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
      total += _mm_cvtsi128_si32(s);
    }
    out[r] = total + tail(row, query, main, dim);
  }
}

// Two rows at a time share each load of the query (an odd last row is
// paired with itself).
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void dots_avx512_vnni(const std::int8_t* codes,
                                                                            std::size_t rows,
                                                                            const std::int16_t* query,
                                                                            std::size_t dim,
                                                                            std::int64_t* out) noexcept {
  const std::size_t main = dim & ~std::size_t{31};
  for (std::size_t r = 0; r < rows; r += 2) {
    const std::int8_t* a = codes + r * dim;
    const std::int8_t* b = r + 1 < rows ? a + dim : a;
    std::int64_t ta = 0;
    std::int64_t tb = 0;
    for (std::size_t start = 0; start < main; start += kBlock) {
      const std::size_t end = std::min(main, start + kBlock);
      __m512i acc_a = _mm512_setzero_si512();
      __m512i acc_b = _mm512_setzero_si512();
      for (std::size_t i = start; i < end; i += 32) {
        const __m512i q16 = _mm512_loadu_si512(query + i);
        const __m512i a16 = _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i)));
        const __m512i b16 = _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)));
        acc_a = _mm512_dpwssd_epi32(acc_a, a16, q16);
        acc_b = _mm512_dpwssd_epi32(acc_b, b16, q16);
      }
      ta += _mm512_reduce_add_epi32(acc_a);
      tb += _mm512_reduce_add_epi32(acc_b);
    }
    out[r] = ta + tail(a, query, main, dim);
    if (r + 1 < rows) out[r + 1] = tb + tail(b, query, main, dim);
  }
}

bool runs(CodeDotKernel kernel) noexcept {
  __builtin_cpu_init();
  switch (kernel) {
    case CodeDotKernel::portable: return true;
    case CodeDotKernel::avx2: return __builtin_cpu_supports("avx2");
    case CodeDotKernel::avx512_vnni:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vnni");
  }
  return false;
}

#else

bool runs(CodeDotKernel kernel) noexcept { return kernel == CodeDotKernel::portable; }

#endif

}  // namespace

CodeDotKernel best_code_dot_kernel() noexcept {
  static const CodeDotKernel best = [] {
    for (CodeDotKernel k : {CodeDotKernel::avx512_vnni, CodeDotKernel::avx2}) {
      if (runs(k)) return k;
    }
    return CodeDotKernel::portable;
  }();
  return best;
}

std::vector<CodeDotKernel> runnable_code_dot_kernels() {
  std::vector<CodeDotKernel> out;
  for (CodeDotKernel k : {CodeDotKernel::portable, CodeDotKernel::avx2, CodeDotKernel::avx512_vnni}) {
    if (runs(k)) out.push_back(k);
  }
  return out;
}

CodeDotsFn code_dots_fn(CodeDotKernel kernel) noexcept {
  switch (kernel) {
#ifdef VORN_X86_KERNELS
    case CodeDotKernel::avx2: return dots_avx2;
    case CodeDotKernel::avx512_vnni: return dots_avx512_vnni;
#endif
    default: return dots_portable;
  }
}

std::string_view to_string(CodeDotKernel kernel) noexcept {
  switch (kernel) {
    case CodeDotKernel::portable: return "portable";
    case CodeDotKernel::avx2: return "avx2";
    case CodeDotKernel::avx512_vnni: return "avx512_vnni";
  }
  return "?";
}

void code_dots(const std::int8_t* codes, std::size_t rows, const std::int16_t* query, std::size_t dim,
               std::int64_t* out) noexcept {
  static const CodeDotsFn fn = code_dots_fn(best_code_dot_kernel());
  fn(codes, rows, query, dim, out);
}

}  // namespace vorn_datastore::sqlite
