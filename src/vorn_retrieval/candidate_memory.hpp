// What hybrid retrieval needs of a candidate row before deciding whether to
// read it whole (its id, page and kind), remembered per row of one store. A
// service ranks the same rows again and again, and reading each candidate
// from the file for these three facts was a quarter of a warm retrieval.
//
// Facts hold only while the store's rows_version reads as it did when they
// were learned (see vorn_datastore::RowSearch): another version forgets
// them all, so a row removed by any process is read afresh (and found gone)
// rather than recalled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vorn_datastore/row_hit.hpp"
#include "vorn_retrieval/chunk_kind.hpp"

namespace vorn_retrieval {

struct CandidateFacts {
  std::string id;
  std::string page;  // metadata "source", else the id up to its '#'
  ChunkKind kind = ChunkKind::kProse;
};
using CandidateFactsPtr = std::shared_ptr<const CandidateFacts>;

// Thread-safe.
class CandidateMemory {
 public:
  // Past `capacity` rows everything is forgotten at once: crude but bounded,
  // and a service's working set is learned again within a few searches.
  explicit CandidateMemory(std::size_t capacity = std::size_t{1} << 15) : capacity_(capacity) {}

  // The remembered facts of each of `rows` (null where none), for a store
  // whose rows_version just read `version`.
  std::vector<CandidateFactsPtr> recall(std::uint64_t version, std::span<const vorn_datastore::RowHit> rows);
  // Remembers facts read from the store after its rows_version read
  // `version`. Ignored when the memory has seen another version since: the
  // rows may have changed in between.
  void remember(std::uint64_t version, std::span<const std::pair<std::int64_t, CandidateFactsPtr>> learned);

  std::size_t size() const;

 private:
  std::size_t capacity_;
  mutable std::shared_mutex mutex_;
  std::optional<std::uint64_t> version_;
  std::unordered_map<std::int64_t, CandidateFactsPtr> facts_;
};

}  // namespace vorn_retrieval
