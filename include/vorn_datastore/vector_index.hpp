#pragma once

// Exact cosine search over a contiguous row-major float32 matrix.
//
// Rows are L2-normalised when added, so cosine similarity is a plain dot
// product and a search is one sequential pass over the matrix. The class does
// no locking: concurrent const calls are safe, anything that mutates needs
// exclusive access (SqliteChunkStore wraps it in a shared_mutex).

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace vorn_datastore {

struct VectorMatch {
  std::size_t slot = 0;  // row number, in insertion order
  float score = 0.0F;    // cosine similarity in [-1, 1]
};

class VectorIndex {
 public:
  // dimension 0 means "not known yet": the first add() fixes it.
  explicit VectorIndex(std::size_t dimension = 0) noexcept : dim_(dimension) {}

  [[nodiscard]] std::size_t dimension() const noexcept { return dim_; }
  [[nodiscard]] std::size_t size() const noexcept { return dim_ == 0 ? 0 : data_.size() / dim_; }
  [[nodiscard]] bool empty() const noexcept { return data_.empty(); }

  // Only allowed while empty; throws vorn_core::UnsupportedError (a
  // std::logic_error) otherwise.
  void set_dimension(std::size_t dimension);

  // Grows capacity geometrically so that `rows` rows fit. After a successful
  // reserve, adding up to that many rows does not allocate and cannot throw,
  // which lets a caller commit elsewhere first and append afterwards.
  void reserve(std::size_t rows);

  // Normalises a copy of `vector` and appends it; returns the new slot.
  // Throws vorn_core::InvalidValueError (a std::invalid_argument) on a
  // dimension mismatch or non-finite values.
  std::size_t add(std::span<const float> vector);
  // Appends a row that is already unit length (or all zero), unchecked.
  std::size_t add_normalized(std::span<const float> vector);

  // Drops every row from `rows` on (used to undo a partial append).
  void truncate(std::size_t rows) noexcept;

  // Removes the rows at `slots` (ascending, no repeats; out-of-range slots
  // ignored) and closes the gaps, so later rows move down and keep their
  // order. Never allocates.
  void erase(std::span<const std::size_t> slots) noexcept;

  [[nodiscard]] std::span<const float> row(std::size_t slot) const;

  // Best `k` rows by cosine similarity, highest first; ties go to the lower
  // slot. Rows scoring below `min_score` are left out. A zero query returns
  // nothing (it has no direction). Throws vorn_core::InvalidValueError on a
  // dimension mismatch or non-finite query values.
  [[nodiscard]] std::vector<VectorMatch> search(std::span<const float> query, std::size_t k,
                                                std::optional<float> min_score = {}) const;
  // Same, restricted to `slots` (any order, out-of-range slots ignored).
  [[nodiscard]] std::vector<VectorMatch> search_subset(std::span<const float> query,
                                                       std::span<const std::size_t> slots, std::size_t k,
                                                       std::optional<float> min_score = {}) const;

  // Scales `v` to unit length in place and returns its original norm; a zero
  // vector is left unchanged.
  static float l2_normalize(std::span<float> v) noexcept;
  static float dot(const float* a, const float* b, std::size_t n) noexcept;

 private:
  std::vector<float> normalized_query(std::span<const float> query) const;

  std::size_t dim_ = 0;
  std::vector<float> data_;
};

}  // namespace vorn_datastore
