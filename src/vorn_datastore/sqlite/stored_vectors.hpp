// The searchable side of a store's vectors: the int8 code of every row
// (a quarter of the float data), either held in memory or read in place
// from a mapped vector file, and the exact float rows, read from the store
// only for the rows a search needs, then kept.
//
// A search scans the codes, keeps every row whose score could still reach
// the k best given the codes' error bounds, and ranks those rows by their
// exact scores: the result is the one an exact scan of every row gives.
//
// Locking is the caller's (SqliteChunkStore): mutating members need
// exclusive access; search may run from many threads at once under shared
// access, and fills the exact rows it lacks one thread at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "vector_code.hpp"
#include "vector_file.hpp"
#include "vorn_datastore/vector_index.hpp"

namespace vorn_datastore::sqlite {

class StoredVectors {
 public:
  // Writes the exact unit-length row of `slot` into `out`; false when the
  // row no longer exists (another process removed it).
  using RowLoader = std::function<bool(std::size_t slot, std::span<float> out)>;

  StoredVectors() = default;
  StoredVectors(const StoredVectors&) = delete;
  StoredVectors& operator=(const StoredVectors&) = delete;

  [[nodiscard]] std::size_t dimension() const noexcept { return dim_; }
  [[nodiscard]] std::size_t size() const noexcept { return rows_; }
  [[nodiscard]] bool empty() const noexcept { return rows_ == 0; }

  // Only while empty; throws std::logic_error otherwise.
  void set_dimension(std::size_t dimension);

  // After reserve(rows) succeeds, appending up to `rows` rows in total does
  // not allocate and cannot throw.
  void reserve(std::size_t rows);

  // Searches the codes of `file` where they lie (rows in the file's order).
  // Only while empty, and the file must have this dimension; throws
  // std::logic_error otherwise. The first change made afterwards copies the
  // codes into memory and lets the file go.
  void attach(std::shared_ptr<const MappedVectorFile> file);
  // Whether the codes are read from a mapped file (for tests).
  [[nodiscard]] bool reads_in_place() const noexcept { return file_ != nullptr; }

  // Appends a row from its stored code (see vector_code.hpp); false when the
  // blob is not a code of this dimension.
  bool append_code(std::span<const std::byte> blob);
  // Appends a row known exactly (unit length or zero): its code is computed
  // and the row itself kept, so it is never read back.
  void append_exact(std::span<const float> unit_row);
  // The same with the row's stored code (see vector_code.hpp) already made,
  // as a writer has it: the row is not quantised a second time.
  void append_exact(std::span<const float> unit_row, std::span<const std::byte> code);

  // Removes the rows at `slots` (ascending, no repeats); later rows move down.
  // Allocates (and may throw) only to copy the codes of a mapped file.
  void erase(std::span<const std::size_t> slots);

  // Best `k` rows by cosine similarity with `query`, highest first, ties to
  // the lower slot; rows below `min_score` left out; a zero query finds
  // nothing. `subset` (any order, out-of-range slots ignored) restricts the
  // rows searched. Rows whose exact values are missing are read through
  // `load` (errors it throws propagate). Throws std::invalid_argument on a
  // dimension mismatch.
  [[nodiscard]] std::vector<VectorMatch> search(std::span<const float> query, std::size_t k,
                                                std::optional<float> min_score,
                                                const std::vector<std::size_t>* subset, const RowLoader& load) const;

  // Exact rows held in memory (for tests and benchmarks).
  [[nodiscard]] std::size_t exact_rows_held() const noexcept;

 private:
  // The rows (slots) whose exact score could reach the k best and
  // `floor`, judged from their codes; rows in `gone` (ascending) left out.
  std::vector<std::size_t> select_candidates(std::span<const std::int16_t> qcode, const CodeBounds& qb,
                                             std::size_t k, double floor, const std::vector<std::size_t>* subset,
                                             std::span<const std::size_t> gone) const;
  void grow_exact(std::size_t rows);
  // Copies mapped codes into the owned arrays before a change.
  void own_codes();
  // Points the views at the owned arrays after they changed.
  void view_owned() noexcept;
  // Ensures the exact rows of `slots` are present; returns which are (1) or
  // are gone from the file (0), per slot of `slots`.
  std::vector<char> ensure_exact(std::span<const std::size_t> slots, const RowLoader& load) const;
  const float* exact_row(std::size_t slot) const noexcept { return exact_.get() + slot * dim_; }

  std::size_t dim_ = 0;
  std::size_t rows_ = 0;
  // What the search reads: the owned arrays below, or a mapped file's.
  const std::int8_t* codes_ = nullptr;
  const float* scales_ = nullptr;
  const float* errors_ = nullptr;
  std::vector<std::int8_t> owned_codes_;
  std::vector<float> owned_scales_;
  std::vector<float> owned_errors_;
  std::shared_ptr<const MappedVectorFile> file_;

  // Exact rows, filled on demand. The buffer is left uninitialised so that
  // rows never read cost no memory; ready_[slot] says whether a row is there
  // (release/acquire pairs the row's bytes with its flag).
  std::size_t exact_capacity_ = 0;
  std::unique_ptr<float[]> exact_;
  std::unique_ptr<std::atomic<std::uint8_t>[]> ready_;
  mutable std::mutex fill_mutex_;
};

}  // namespace vorn_datastore::sqlite
