#include "candidate_memory.hpp"

#include <mutex>

namespace vorn_retrieval {

std::vector<CandidateFactsPtr> CandidateMemory::recall(std::uint64_t version,
                                                       std::span<const vorn_datastore::RowHit> rows) {
  std::vector<CandidateFactsPtr> found(rows.size());
  {
    std::shared_lock lock(mutex_);
    if (version_ == version) {
      for (std::size_t i = 0; i < rows.size(); ++i) {
        if (const auto it = facts_.find(rows[i].row); it != facts_.end()) found[i] = it->second;
      }
      return found;
    }
  }
  std::unique_lock lock(mutex_);
  if (version_ != version) {
    facts_.clear();
    version_ = version;
  }
  return found;
}

void CandidateMemory::remember(std::uint64_t version,
                               std::span<const std::pair<std::int64_t, CandidateFactsPtr>> learned) {
  std::unique_lock lock(mutex_);
  if (version_ != version) return;
  if (facts_.size() + learned.size() > capacity_) facts_.clear();
  for (const auto& [row, facts] : learned) facts_.insert_or_assign(row, facts);
}

std::size_t CandidateMemory::size() const {
  std::shared_lock lock(mutex_);
  return facts_.size();
}

}  // namespace vorn_retrieval
