// In-memory index of top-level metadata key/value pairs per vector slot.
//
// Evaluating a filter in SQL means scanning every chunk row (content and
// embedding included), which takes hundreds of milliseconds at 100,000
// chunks. Vector search instead uses this index, built on the first filtered
// search and kept up to date on ingest. Values are interned with the same
// equality rules as the SQL filter: numbers by value, everything else by type
// and exact content.
//
// Not synchronised: the store guards it with its vectors lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace vorn_datastore::sqlite {

class MetadataIndex {
 public:
  using Pair = std::pair<std::uint32_t, std::uint32_t>;  // key id, value id

  [[nodiscard]] bool built() const noexcept { return built_; }
  [[nodiscard]] std::size_t size() const noexcept { return slots_.size(); }
  void mark_built() noexcept { built_ = true; }
  void reset() noexcept;

  // Appends the next slot.
  void add(const nlohmann::json& metadata);

  // Drops the entries of `slots` (ascending), like VectorIndex::erase.
  void erase(std::span<const std::size_t> slots) noexcept;

  // Slots whose metadata satisfies every pair of `filter`.
  [[nodiscard]] std::vector<std::size_t> matching(const Filter& filter) const;

 private:
  static std::uint32_t intern(std::unordered_map<std::string, std::uint32_t>& table, const std::string& s);

  bool built_ = false;
  std::vector<std::vector<Pair>> slots_;
  std::unordered_map<std::string, std::uint32_t> keys_;
  std::unordered_map<std::string, std::uint32_t> values_;
};

}  // namespace vorn_datastore::sqlite
