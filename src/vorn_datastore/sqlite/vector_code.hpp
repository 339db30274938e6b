// Compact int8 codes of stored vectors, with a bound on what a code gets
// wrong, so that a search can scan the codes and still return exactly what a
// scan of the float vectors would.
//
// A unit vector v is kept as `scale * code` (code in [-127, 127]) together
// with `error` >= ||v - scale * code||. For a unit query q quantised the same
// way to int16, |v.q - approx| <= error + (1 + error) * query_error, plus the
// float rounding of the exact dot product (see score_slack).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vorn_datastore::sqlite {

// Bytes before the int8 values in a stored code: scale and error, each a
// little-endian float32.
inline constexpr std::size_t kCodeHeaderBytes = 8;

struct CodeBounds {
  float scale = 0.0F;  // value of one code step
  float error = 0.0F;  // upper bound of the L2 distance between the vector and its code
};

// Codes `v` into `out` (v.size() values).
CodeBounds quantize_row(std::span<const float> v, std::int8_t* out) noexcept;

// A query at int16 precision; error bounds ||q - scale * out||.
CodeBounds quantize_query(std::span<const float> q, std::int16_t* out) noexcept;

// The stored form: header, then the int8 values.
std::vector<std::byte> encode_code(std::span<const float> v);
// Reads a stored code of `dim` values into `out`; false when the blob has
// another size or a header that is not finite and non-negative.
bool decode_code(std::span<const std::byte> blob, std::size_t dim, std::int8_t* out, CodeBounds& bounds) noexcept;

// Exact integer dot product of a row code and a query code.
std::int64_t code_dot(const std::int8_t* row, const std::int16_t* query, std::size_t n) noexcept;

// Largest difference between the float dot product VectorIndex::dot returns
// for two unit vectors of `dim` values and its exact value, with room for the
// rounding of the approximate score.
double score_slack(std::size_t dim) noexcept;

}  // namespace vorn_datastore::sqlite
