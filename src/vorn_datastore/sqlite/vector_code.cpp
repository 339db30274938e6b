#include "vector_code.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "row_codec.hpp"

namespace vorn_datastore::sqlite {
namespace {

// Rounds the bound up so that storing it as float never makes it smaller
// than the distance computed in double.
float round_up(double x) noexcept {
  auto f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

template <typename Code>
CodeBounds quantize(std::span<const float> v, Code* out, int levels) noexcept {
  float max_abs = 0.0F;
  for (float x : v) max_abs = std::max(max_abs, std::fabs(x));
  if (max_abs == 0.0F) {
    std::fill_n(out, v.size(), Code{0});
    return {};
  }
  const float scale = max_abs / static_cast<float>(levels);
  double err2 = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const long c = std::clamp(std::lround(v[i] / scale), -static_cast<long>(levels), static_cast<long>(levels));
    out[i] = static_cast<Code>(c);
    const double d = static_cast<double>(v[i]) - static_cast<double>(scale) * static_cast<double>(c);
    err2 += d * d;
  }
  // 1e-12 absorbs the rounding of the sum itself.
  return {scale, round_up(std::sqrt(err2) * (1.0 + 1e-9) + 1e-12)};
}

}  // namespace

CodeBounds quantize_row(std::span<const float> v, std::int8_t* out) noexcept { return quantize(v, out, 127); }

CodeBounds quantize_query(std::span<const float> q, std::int16_t* out) noexcept { return quantize(q, out, 32767); }

std::vector<std::byte> encode_code(std::span<const float> v) {
  std::vector<std::byte> blob(kCodeHeaderBytes + v.size());
  const CodeBounds b = quantize_row(v, reinterpret_cast<std::int8_t*>(blob.data() + kCodeHeaderBytes));
  float header[2] = {b.scale, b.error};
  to_little_endian(header);
  std::memcpy(blob.data(), header, sizeof header);
  return blob;
}

bool decode_code(std::span<const std::byte> blob, std::size_t dim, std::int8_t* out, CodeBounds& bounds) noexcept {
  if (blob.size() != kCodeHeaderBytes + dim) return false;
  float header[2];
  std::memcpy(header, blob.data(), sizeof header);
  to_little_endian(header);
  if (!std::isfinite(header[0]) || !std::isfinite(header[1]) || header[0] < 0.0F || header[1] < 0.0F) return false;
  bounds = {header[0], header[1]};
  std::memcpy(out, blob.data() + kCodeHeaderBytes, dim);
  return true;
}

// 512 products of at most 127 * 32767 each stay inside int32, so the inner
// loop accumulates in int32 (which vectorises to multiply-add pairs) and only
// each block's sum is widened. The scan is this loop: wider registers, where
// the processor has them, chosen once at load time, take 2 to 4 times as
// many values per instruction as the baseline's 16 bytes.
// Not under the sanitizers: the clone resolver runs while the program is
// being loaded, and the thread sanitizer's instrumentation of it crashes
// before its runtime exists.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) && \
    !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("arch=skylake-avx512", "avx2", "default")))
#endif
std::int64_t code_dot(const std::int8_t* row, const std::int16_t* query, std::size_t n) noexcept {
  constexpr std::size_t kBlock = 512;
  std::int64_t total = 0;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t end = std::min(n, start + kBlock);
    std::int32_t sum = 0;
    for (std::size_t i = start; i < end; ++i) sum += static_cast<std::int32_t>(row[i]) * query[i];
    total += sum;
  }
  return total;
}

double score_slack(std::size_t dim) noexcept {
  // A float dot product of n terms errs by at most about n * 2^-24 times the
  // product of the norms (1 here); twice that, plus the double rounding of
  // the approximate score.
  return 2.0 * static_cast<double>(dim + 4) * 0x1p-24 + 1e-9;
}

}  // namespace vorn_datastore::sqlite
