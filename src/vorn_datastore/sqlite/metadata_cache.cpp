#include "metadata_cache.hpp"

#include <functional>

#include "row_codec.hpp"

namespace vorn_datastore::sqlite {

std::shared_ptr<const nlohmann::json> MetadataCache::shared(std::int64_t seq, std::string_view text, const std::filesystem::path& path) {
  // Only tells one text of a row from another, never leaves the process:
  // the library's word-at-a-time hash is several times faster than FNV.
  const std::uint64_t hash = std::hash<std::string_view>{}(text);
  std::shared_ptr<const nlohmann::json> cached;
  {
    std::lock_guard lock(mutex_);
    if (const auto it = entries_.find(seq);
        it != entries_.end() && it->second.hash == hash && it->second.bytes == text.size()) {
      cached = it->second.value;
    }
  }
  // Copied (by callers that copy) outside the lock: the copy is most of the
  // cost of a hit.
  if (cached) return cached;
  auto parsed = std::make_shared<const nlohmann::json>(parse_metadata(text, path));
  {
    std::lock_guard lock(mutex_);
    // Dropping everything is crude but bounded, and a service's working set
    // refills it within a few searches.
    if (entries_.size() >= capacity_) entries_.clear();
    entries_.insert_or_assign(seq, Entry{hash, text.size(), parsed});
  }
  return parsed;
}

std::size_t MetadataCache::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace vorn_datastore::sqlite
