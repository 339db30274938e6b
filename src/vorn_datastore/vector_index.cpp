#include "vorn_datastore/vector_index.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "vorn_core/error.hpp"

namespace vorn_datastore {

namespace {

// Min-heap order on "worse first": a lower score is worse, and on equal scores
// the later slot is worse, so results are deterministic.
bool better(const VectorMatch& a, const VectorMatch& b) noexcept {
  return a.score > b.score || (a.score == b.score && a.slot < b.slot);
}

class TopK {
 public:
  explicit TopK(std::size_t k) : k_(k) { heap_.reserve(k); }

  void offer(std::size_t slot, float score) {
    const VectorMatch m{slot, score};
    if (heap_.size() < k_) {
      heap_.push_back(m);
      std::push_heap(heap_.begin(), heap_.end(), better);
    } else if (better(m, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), better);
      heap_.back() = m;
      std::push_heap(heap_.begin(), heap_.end(), better);
    }
  }

  // Cheapest rejection test for the hot loop.
  [[nodiscard]] float threshold() const noexcept {
    return heap_.size() < k_ ? -INFINITY : heap_.front().score;
  }

  std::vector<VectorMatch> take() {
    std::sort(heap_.begin(), heap_.end(), better);
    return std::move(heap_);
  }

 private:
  std::size_t k_;
  std::vector<VectorMatch> heap_;
};

void check_finite(std::span<const float> v, const char* what) {
  for (float x : v) {
    if (!std::isfinite(x)) throw vorn_core::InvalidValueError(std::string(what) + " contains NaN or infinity");
  }
}

}  // namespace

// Four groups of four independent lanes: each group is one SIMD register's
// worth of lane-wise multiply-adds, which GCC and Clang vectorise at -O2
// without -ffast-math (no single running sum has to be reassociated), and
// four separate groups keep the additions from waiting on each other.
float VectorIndex::dot(const float* a, const float* b, std::size_t n) noexcept {
  float s0[4] = {};
  float s1[4] = {};
  float s2[4] = {};
  float s3[4] = {};
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    for (std::size_t j = 0; j < 4; ++j) s0[j] += a[i + j] * b[i + j];
    for (std::size_t j = 0; j < 4; ++j) s1[j] += a[i + 4 + j] * b[i + 4 + j];
    for (std::size_t j = 0; j < 4; ++j) s2[j] += a[i + 8 + j] * b[i + 8 + j];
    for (std::size_t j = 0; j < 4; ++j) s3[j] += a[i + 12 + j] * b[i + 12 + j];
  }
  float tail = 0.0F;
  for (; i < n; ++i) tail += a[i] * b[i];
  for (std::size_t j = 0; j < 4; ++j) s0[j] += s1[j] + s2[j] + s3[j];
  return (s0[0] + s0[1]) + (s0[2] + s0[3]) + tail;
}

float VectorIndex::l2_normalize(std::span<float> v) noexcept {
  double sum = 0.0;
  for (float x : v) sum += static_cast<double>(x) * x;
  const double norm = std::sqrt(sum);
  if (norm > 0.0) {
    const double inv = 1.0 / norm;
    for (float& x : v) x = static_cast<float>(x * inv);
  }
  return static_cast<float>(norm);
}

void VectorIndex::set_dimension(std::size_t dimension) {
  if (!data_.empty() && dimension != dim_) {
    throw vorn_core::UnsupportedError("VectorIndex: cannot change the dimension of a non-empty index");
  }
  dim_ = dimension;
}

void VectorIndex::reserve(std::size_t rows) {
  const std::size_t needed = rows * dim_;
  if (needed <= data_.capacity()) return;
  // Exact reserves per batch would copy the whole matrix on every ingest.
  data_.reserve(std::max(needed, data_.capacity() + data_.capacity() / 2));
}

std::size_t VectorIndex::add(std::span<const float> vector) {
  if (dim_ == 0) {
    if (vector.empty()) throw vorn_core::InvalidValueError("VectorIndex: cannot add an empty vector");
    dim_ = vector.size();
  }
  if (vector.size() != dim_) {
    throw vorn_core::InvalidValueError("VectorIndex: vector has " + std::to_string(vector.size()) +
                                " values, index dimension is " + std::to_string(dim_));
  }
  check_finite(vector, "VectorIndex: vector");
  reserve(size() + 1);
  const std::size_t slot = size();
  data_.insert(data_.end(), vector.begin(), vector.end());
  l2_normalize(std::span<float>(data_.data() + slot * dim_, dim_));
  return slot;
}

std::size_t VectorIndex::add_normalized(std::span<const float> vector) {
  if (dim_ == 0) dim_ = vector.size();
  if (vector.size() != dim_ || dim_ == 0) {
    throw vorn_core::InvalidValueError("VectorIndex: vector has " + std::to_string(vector.size()) +
                                " values, index dimension is " + std::to_string(dim_));
  }
  reserve(size() + 1);
  const std::size_t slot = size();
  data_.insert(data_.end(), vector.begin(), vector.end());
  return slot;
}

void VectorIndex::truncate(std::size_t rows) noexcept {
  if (rows < size()) data_.resize(rows * dim_);
}

void VectorIndex::erase(std::span<const std::size_t> slots) noexcept {
  const std::size_t rows = size();
  std::size_t write = 0;
  std::size_t next = 0;  // index into slots
  for (std::size_t read = 0; read < rows; ++read) {
    while (next < slots.size() && slots[next] < read) ++next;
    if (next < slots.size() && slots[next] == read) continue;
    if (write != read) std::copy_n(data_.data() + read * dim_, dim_, data_.data() + write * dim_);
    ++write;
  }
  data_.resize(write * dim_);
}

std::span<const float> VectorIndex::row(std::size_t slot) const {
  if (slot >= size()) throw vorn_core::UnknownKeyError("VectorIndex: slot out of range");
  return {data_.data() + slot * dim_, dim_};
}

std::vector<float> VectorIndex::normalized_query(std::span<const float> query) const {
  if (query.size() != dim_) {
    throw vorn_core::InvalidValueError("VectorIndex: query has " + std::to_string(query.size()) +
                                " values, index dimension is " + std::to_string(dim_));
  }
  check_finite(query, "VectorIndex: query");
  std::vector<float> q(query.begin(), query.end());
  if (l2_normalize(q) == 0.0F) q.clear();
  return q;
}

std::vector<VectorMatch> VectorIndex::search(std::span<const float> query, std::size_t k,
                                             std::optional<float> min_score) const {
  if (k == 0 || empty()) return {};
  const std::vector<float> q = normalized_query(query);
  if (q.empty()) return {};

  const std::size_t rows = size();
  const float floor = min_score.value_or(-INFINITY);
  TopK top(std::min(k, rows));
  // Scores are produced in blocks so the dot products run back to back and the
  // heap bookkeeping stays out of the vectorised inner loop.
  constexpr std::size_t kBlock = 256;
  float scores[kBlock];
  const float* base = data_.data();
  for (std::size_t start = 0; start < rows; start += kBlock) {
    const std::size_t n = std::min(kBlock, rows - start);
    for (std::size_t r = 0; r < n; ++r) scores[r] = dot(base + (start + r) * dim_, q.data(), dim_);
    float cut = std::max(top.threshold(), floor);
    for (std::size_t r = 0; r < n; ++r) {
      // Equal scores still compete so that the lower slot wins ties.
      if (scores[r] < cut) continue;
      top.offer(start + r, scores[r]);
      cut = std::max(top.threshold(), floor);
    }
  }
  return top.take();
}

std::vector<VectorMatch> VectorIndex::search_subset(std::span<const float> query,
                                                    std::span<const std::size_t> slots, std::size_t k,
                                                    std::optional<float> min_score) const {
  if (k == 0 || empty() || slots.empty()) return {};
  const std::vector<float> q = normalized_query(query);
  if (q.empty()) return {};

  const std::size_t rows = size();
  const float floor = min_score.value_or(-INFINITY);
  TopK top(std::min(k, slots.size()));
  for (std::size_t slot : slots) {
    if (slot >= rows) continue;
    const float s = dot(data_.data() + slot * dim_, q.data(), dim_);
    if (s >= floor) top.offer(slot, s);
  }
  return top.take();
}

}  // namespace vorn_datastore
