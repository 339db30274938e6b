// Parsed chunk metadata, kept per chunk row: a service returns the same
// chunks again and again, and parsing their JSON was a tenth of the time of
// a search. Rows are immutable under their seq (seqs are never handed out
// again), but a cached value is still only used when the stored text hashes
// the same, so a file changed behind our back is read afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace vorn_datastore::sqlite {

class MetadataCache {
 public:
  explicit MetadataCache(std::size_t capacity = 8192) : capacity_(capacity) {}

  // The metadata stored as `text` for chunk `seq`, parsed as parse_metadata
  // does (StoreError(kCorrupt) naming `path` for text that is not an object).
  // Thread-safe.
  nlohmann::json get(std::int64_t seq, std::string_view text, const std::filesystem::path& path) {
    return *shared(seq, text, path);
  }
  // The same without a copy.
  std::shared_ptr<const nlohmann::json> shared(std::int64_t seq, std::string_view text,
                                               const std::filesystem::path& path);

  std::size_t size() const;

 private:
  struct Entry {
    std::uint64_t hash = 0;
    std::size_t bytes = 0;
    std::shared_ptr<const nlohmann::json> value;
  };
  std::size_t capacity_;
  mutable std::mutex mutex_;
  std::unordered_map<std::int64_t, Entry> entries_;
};

}  // namespace vorn_datastore::sqlite
