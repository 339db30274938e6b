// Data stores and the capabilities they register. Retrievers ask a store for
// a capability (vector or full-text search) and query through it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_core/chunk.hpp"
#include "vorn_datastore/row_hit.hpp"
#include "vorn_core/object.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"

namespace vorn_datastore {

enum class CapabilityType { VECTOR, FULLTEXT };

// "vector", "fulltext".
std::string_view to_string(CapabilityType type) noexcept;

// The capabilities a store registered: printable, with a membership test.
class CapabilitySet {
 public:
  CapabilitySet() = default;
  CapabilitySet(std::initializer_list<CapabilityType> types);

  bool contains(CapabilityType type) const noexcept;
  void add(CapabilityType type);
  bool empty() const noexcept { return types_.empty(); }
  const std::vector<CapabilityType>& types() const noexcept { return types_; }
  // "[CapabilityType.VECTOR, CapabilityType.FULLTEXT]"; "[]" when empty.
  std::string str() const;

 private:
  std::vector<CapabilityType> types_;
};

struct SearchRequest {
  std::string query;
  std::size_t top_k = 10;
  // Equality filter on metadata keys: a mapping from key to value; absent for none.
  vorn_core::Value query_filter;
  // Keep only hits scoring at least this much.
  std::optional<double> threshold;
};

// Thread safety: one capability serves every retriever of its store;
// implementations must be safe for concurrent `search` calls.
class SearchCapability {
 public:
  virtual ~SearchCapability() = default;
  // Best first; each chunk's `score` set by the search.
  virtual vorn_core::Task<vorn_core::ChunkList> search(SearchRequest request) = 0;
};

// Full-text scores of whole pages rather than chunks (chunks name their
// page in metadata "source"): a page's words count together wherever in it
// they are. Safe for concurrent calls.
class PageSearch {
 public:
  virtual ~PageSearch() = default;
  // One score per source, higher is better; 0 when the page holds none of
  // the query's words or is unknown.
  virtual vorn_core::Task<std::vector<double>> score_pages(std::string query, std::vector<std::string> sources) = 0;
};

// What a ranking may look at in a stored row before deciding to read it:
// views valid only while the call that shows them runs.
class StoredRowView {
 public:
  virtual std::string_view id() const noexcept = 0;
  virtual std::string_view content() const noexcept = 0;
  // The top-level metadata value of `key` when it is a string; nullopt
  // otherwise (absent or another type).
  virtual std::optional<std::string_view> metadata_string(std::string_view key) const noexcept = 0;

 protected:
  ~StoredRowView() = default;
};

// Searches that rank rows before any chunk is read, for callers that fuse
// several searches and return only some of their hits. Safe for concurrent
// calls.
class RowSearch {
 public:
  virtual ~RowSearch() = default;
  // The hits capability(type)->search(request) returns, best first, as rows
  // and scores.
  virtual vorn_core::Task<std::vector<RowHit>> search_rows(CapabilityType type, SearchRequest request) = 0;
  // Shows each stored row of `hits` to `visit`, in order, with its index in
  // `hits`; rows no longer stored are skipped.
  virtual void visit_rows(std::span<const RowHit> hits,
                          const std::function<void(std::size_t index, const StoredRowView& row)>& visit) = 0;
  // The chunks of `hits`, in order, each with its hit's score, as the
  // searches return them; rows no longer stored are skipped.
  virtual vorn_core::ChunkList read_rows(std::span<const RowHit> hits) = 0;
  // A value that changes whenever a stored row is removed, by this process
  // or another, and may change on other writes too. While it reads the same,
  // every row that a search returned or visit_rows showed since it was
  // first read is still stored, with the same id, text and metadata: a
  // caller may remember what it derived from those rows instead of reading
  // them again. nullopt: the store cannot tell, and nothing may be
  // remembered.
  virtual std::optional<std::uint64_t> rows_version() { return std::nullopt; }
};

// Thread safety: a store is shared by the retrievers of concurrent runs;
// implementations must be safe for concurrent calls.
class BaseDataStore : public vorn_core::Object {
 public:
  virtual CapabilitySet registered_capabilities() const = 0;
  // The capability, or nullptr when the store did not register it.
  virtual SearchCapability* capability(CapabilityType type) = 0;
  // Page scoring, or nullptr when the store keeps no page index.
  virtual PageSearch* page_search() { return nullptr; }
  // Row-first searches, or nullptr when the store offers none.
  virtual RowSearch* row_search() { return nullptr; }
};
using DataStorePtr = std::shared_ptr<BaseDataStore>;

// The metadata filter as (key, value) pairs; throws `InvalidTypeError` for a filter
// that is neither absent nor a mapping.
std::vector<std::pair<std::string, vorn_core::Value>> parse_query_filter(const vorn_core::Value& query_filter);
// Whether `metadata` holds every (key, value) of the filter.
bool matches_filter(const vorn_core::Dict& metadata,
                    const std::vector<std::pair<std::string, vorn_core::Value>>& filter) noexcept;

}  // namespace vorn_datastore
