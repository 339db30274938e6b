#include "stored_vectors.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <queue>
#include <stdexcept>
#include <string>

#include "code_dots.hpp"
#include "vector_code.hpp"
#include "vorn_core/error.hpp"

namespace vorn_datastore::sqlite {
namespace {

template <typename T>
void grow_geometrically(std::vector<T>& v, std::size_t needed) {
  // Exact reserves per batch would copy everything on every ingest.
  if (needed > v.capacity()) v.reserve(std::max(needed, v.capacity() + v.capacity() / 2));
}

bool better(const VectorMatch& a, const VectorMatch& b) noexcept {
  return a.score > b.score || (a.score == b.score && a.slot < b.slot);
}

}  // namespace

void StoredVectors::set_dimension(std::size_t dimension) {
  if (!empty() && dimension != dim_) {
    throw vorn_core::UnsupportedError("StoredVectors: cannot change the dimension of a non-empty set");
  }
  if (dimension != dim_) {
    exact_.reset();
    ready_.reset();
    exact_capacity_ = 0;
  }
  dim_ = dimension;
}

void StoredVectors::reserve(std::size_t rows) {
  own_codes();
  grow_geometrically(owned_codes_, rows * dim_);
  grow_geometrically(owned_scales_, rows);
  grow_geometrically(owned_errors_, rows);
  view_owned();
  grow_exact(rows);
}

void StoredVectors::attach(std::shared_ptr<const MappedVectorFile> file) {
  if (!empty() || file == nullptr || file->dimension() != dim_) {
    throw vorn_core::UnsupportedError("StoredVectors: a vector file is attached only to an empty set of its dimension");
  }
  grow_exact(file->rows());
  owned_codes_ = {};
  owned_scales_ = {};
  owned_errors_ = {};
  codes_ = file->codes().data();
  scales_ = file->scales().data();
  errors_ = file->errors().data();
  rows_ = file->rows();
  file_ = std::move(file);
}

void StoredVectors::own_codes() {
  if (!file_) return;
  owned_codes_.assign(codes_, codes_ + rows_ * dim_);
  owned_scales_.assign(scales_, scales_ + rows_);
  owned_errors_.assign(errors_, errors_ + rows_);
  file_.reset();
  view_owned();
}

void StoredVectors::view_owned() noexcept {
  codes_ = owned_codes_.data();
  scales_ = owned_scales_.data();
  errors_ = owned_errors_.data();
  rows_ = owned_scales_.size();
}

void StoredVectors::grow_exact(std::size_t rows) {
  if (rows <= exact_capacity_) return;
  const std::size_t capacity = std::max(rows, exact_capacity_ + exact_capacity_ / 2);
  auto exact = std::make_unique_for_overwrite<float[]>(capacity * dim_);
  auto ready = std::make_unique<std::atomic<std::uint8_t>[]>(capacity);  // zeroed
  for (std::size_t slot = 0; slot < size(); ++slot) {
    if (ready_[slot].load(std::memory_order_relaxed) == 0) continue;
    std::memcpy(exact.get() + slot * dim_, exact_row(slot), dim_ * sizeof(float));
    ready[slot].store(1, std::memory_order_relaxed);
  }
  exact_ = std::move(exact);
  ready_ = std::move(ready);
  exact_capacity_ = capacity;
}

bool StoredVectors::append_code(std::span<const std::byte> blob) {
  if (dim_ == 0) return false;
  reserve(size() + 1);
  const std::size_t at = owned_codes_.size();
  owned_codes_.resize(at + dim_);
  CodeBounds bounds;
  if (!decode_code(blob, dim_, owned_codes_.data() + at, bounds)) {
    owned_codes_.resize(at);
    return false;
  }
  owned_scales_.push_back(bounds.scale);
  owned_errors_.push_back(bounds.error);
  view_owned();
  return true;
}

void StoredVectors::append_exact(std::span<const float> unit_row) { append_exact(unit_row, {}); }

void StoredVectors::append_exact(std::span<const float> unit_row, std::span<const std::byte> code) {
  if (unit_row.size() != dim_ || dim_ == 0) {
    throw vorn_core::InvalidValueError("StoredVectors: row has " + std::to_string(unit_row.size()) +
                                " values, dimension is " + std::to_string(dim_));
  }
  reserve(size() + 1);
  const std::size_t slot = size();
  const std::size_t at = owned_codes_.size();
  owned_codes_.resize(at + dim_);
  CodeBounds bounds;
  if (!decode_code(code, dim_, owned_codes_.data() + at, bounds)) {
    bounds = quantize_row(unit_row, owned_codes_.data() + at);
  }
  owned_scales_.push_back(bounds.scale);
  owned_errors_.push_back(bounds.error);
  view_owned();
  std::memcpy(exact_.get() + slot * dim_, unit_row.data(), dim_ * sizeof(float));
  ready_[slot].store(1, std::memory_order_relaxed);
}

void StoredVectors::erase(std::span<const std::size_t> slots) {
  own_codes();
  const std::size_t rows = size();
  std::size_t write = 0;
  std::size_t next = 0;
  for (std::size_t read = 0; read < rows; ++read) {
    while (next < slots.size() && slots[next] < read) ++next;
    if (next < slots.size() && slots[next] == read) continue;
    if (write != read) {
      std::copy_n(owned_codes_.data() + read * dim_, dim_, owned_codes_.data() + write * dim_);
      owned_scales_[write] = owned_scales_[read];
      owned_errors_[write] = owned_errors_[read];
      const std::uint8_t held = ready_[read].load(std::memory_order_relaxed);
      if (held != 0) std::memcpy(exact_.get() + write * dim_, exact_row(read), dim_ * sizeof(float));
      ready_[write].store(held, std::memory_order_relaxed);
    }
    ++write;
  }
  for (std::size_t slot = write; slot < rows; ++slot) ready_[slot].store(0, std::memory_order_relaxed);
  owned_codes_.resize(write * dim_);
  owned_scales_.resize(write);
  owned_errors_.resize(write);
  view_owned();
}

std::size_t StoredVectors::exact_rows_held() const noexcept {
  std::size_t n = 0;
  for (std::size_t slot = 0; slot < size(); ++slot) n += ready_[slot].load(std::memory_order_relaxed);
  return n;
}

std::vector<char> StoredVectors::ensure_exact(std::span<const std::size_t> slots, const RowLoader& load) const {
  std::vector<char> present(slots.size(), 1);
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (ready_[slots[i]].load(std::memory_order_acquire) == 0) missing.push_back(i);
  }
  if (missing.empty()) return present;
  // Rows not yet ready are read by no one else, and only under this lock
  // are they written.
  std::lock_guard lock(fill_mutex_);
  for (std::size_t i : missing) {
    const std::size_t slot = slots[i];
    if (ready_[slot].load(std::memory_order_relaxed) != 0) continue;
    if (!load(slot, std::span<float>(exact_.get() + slot * dim_, dim_))) {
      present[i] = 0;
      continue;
    }
    ready_[slot].store(1, std::memory_order_release);
  }
  return present;
}

std::vector<VectorMatch> StoredVectors::search(std::span<const float> query, std::size_t k,
                                               std::optional<float> min_score,
                                               const std::vector<std::size_t>* subset, const RowLoader& load) const {
  if (k == 0 || empty() || (subset != nullptr && subset->empty())) return {};
  if (query.size() != dim_) {
    throw vorn_core::InvalidValueError("StoredVectors: query has " + std::to_string(query.size()) +
                                " values, dimension is " + std::to_string(dim_));
  }
  std::vector<float> q(query.begin(), query.end());
  if (VectorIndex::l2_normalize(q) == 0.0F) return {};

  thread_local std::vector<std::int16_t> qcode;
  qcode.resize(dim_);
  const CodeBounds qb = quantize_query(q, qcode.data());
  const double floor = min_score ? static_cast<double>(*min_score) : -INFINITY;
  const float exact_floor = min_score.value_or(-INFINITY);

  // A row another process removed is dropped and the cut taken again, so
  // that the next row takes its place.
  std::vector<std::size_t> gone;
  for (;;) {
    const std::vector<std::size_t> candidates = select_candidates(qcode, qb, k, floor, subset, gone);
    const std::vector<char> present = ensure_exact(candidates, load);
    const std::size_t before = gone.size();
    std::vector<VectorMatch> matches;
    matches.reserve(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      if (present[i] == 0) {
        gone.push_back(candidates[i]);
        continue;
      }
      const float s = VectorIndex::dot(exact_row(candidates[i]), q.data(), dim_);
      if (s >= exact_floor) matches.push_back({candidates[i], s});
    }
    if (gone.size() != before) {
      std::sort(gone.begin(), gone.end());
      continue;
    }
    const std::size_t keep = std::min(k, matches.size());
    std::partial_sort(matches.begin(), matches.begin() + static_cast<std::ptrdiff_t>(keep), matches.end(), better);
    matches.resize(keep);
    return matches;
  }
}

std::vector<std::size_t> StoredVectors::select_candidates(std::span<const std::int16_t> qcode,
                                                          const CodeBounds& qb, std::size_t k, double floor,
                                                          const std::vector<std::size_t>* subset,
                                                          std::span<const std::size_t> gone) const {
  const double slack = score_slack(dim_);
  const double query_error = static_cast<double>(qb.error) * (1.0 + 1e-6);
  const auto bound = [&](std::size_t slot) {
    const double e = static_cast<double>(errors_[slot]) * (1.0 + 1e-6);
    return e + (1.0 + e + 1e-6) * query_error + slack;
  };
  const auto skipped = [&](std::size_t slot) {
    return slot >= size() || (!gone.empty() && std::binary_search(gone.begin(), gone.end(), slot));
  };

  // Pass 1: approximate scores, and the k-th best score rows are sure to
  // reach. Dot products come a batch of rows at a time: contiguous rows in
  // one call of the scan kernel.
  const std::size_t searched = subset != nullptr ? subset->size() : size();
  thread_local std::vector<double> approx;
  approx.assign(searched, -INFINITY);
  constexpr std::size_t kBatch = 256;
  thread_local std::vector<std::int64_t> dots;
  dots.resize(kBatch);
  std::priority_queue<double, std::vector<double>, std::greater<>> surest;
  const double qscale = qb.scale;
  for (std::size_t first = 0; first < searched; first += kBatch) {
    const std::size_t n = std::min(kBatch, searched - first);
    if (subset == nullptr) {
      code_dots(codes_ + first * dim_, n, qcode.data(), dim_, dots.data());
    } else {
      for (std::size_t j = 0; j < n; ++j) {
        const std::size_t slot = (*subset)[first + j];
        if (slot < size()) code_dots(codes_ + slot * dim_, 1, qcode.data(), dim_, &dots[j]);
      }
    }
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t i = first + j;
      const std::size_t slot = subset != nullptr ? (*subset)[i] : i;
      if (skipped(slot)) continue;
      const double a = static_cast<double>(dots[j]) * (static_cast<double>(scales_[slot]) * qscale);
      approx[i] = a;
      const double low = a - bound(slot);
      if (surest.size() < k) {
        surest.push(low);
      } else if (low > surest.top()) {
        surest.pop();
        surest.push(low);
      }
    }
  }
  const double cut = std::max(surest.size() < k ? -INFINITY : surest.top(), floor);

  // Pass 2: every row that could still score at least the cut.
  std::vector<std::size_t> candidates;
  for (std::size_t i = 0; i < searched; ++i) {
    if (approx[i] == -INFINITY) continue;
    const std::size_t slot = subset != nullptr ? (*subset)[i] : i;
    if (approx[i] + bound(slot) >= cut) candidates.push_back(slot);
  }
  return candidates;
}

}  // namespace vorn_datastore::sqlite
