#include "vector_code.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "code_dots.hpp"
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

std::int64_t code_dot(const std::int8_t* row, const std::int16_t* query, std::size_t n) noexcept {
  std::int64_t out = 0;
  code_dots(row, 1, query, n, &out);
  return out;
}

double score_slack(std::size_t dim) noexcept {
  // A float dot product of n terms errs by at most about n * 2^-24 times the
  // product of the norms (1 here); twice that, plus the double rounding of
  // the approximate score.
  return 2.0 * static_cast<double>(dim + 4) * 0x1p-24 + 1e-9;
}

}  // namespace vorn_datastore::sqlite
