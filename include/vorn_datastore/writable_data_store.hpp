// A data store that accepts writes: what it takes to build an index of
// documents and keep it in step with them, whatever holds the chunks.
// Indexer and the command line's index, sources and remove commands work
// through this interface.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vorn_core/chunk.hpp"
#include "vorn_core/task.hpp"
#include "vorn_datastore/data_store.hpp"

namespace vorn_datastore {

struct IngestResult {
  std::size_t added = 0;
  std::size_t skipped = 0;  // already stored with the same id and content
};

// Implementations must be safe for concurrent calls: searches may run while
// a write is under way, and writes serialise among themselves.
class WritableDataStore : public BaseDataStore {
 public:
  // False when writes would fail whatever the input (e.g. a store opened
  // read-only, or one without the embedder its chunks need).
  [[nodiscard]] virtual bool accepts_writes() const noexcept = 0;

  // Stores the chunks as one unit: all or nothing. Chunks already stored
  // with the same id and content are skipped; an id stored with other
  // content fails the whole batch.
  virtual vorn_core::Task<IngestResult> ingest(vorn_core::ChunkList chunks) = 0;

  // Removes the chunks with these ids as one unit (unknown ids are ignored);
  // returns how many went.
  virtual std::size_t remove(const std::vector<std::string>& ids) = 0;

  // Ids of the stored chunks whose top-level metadata `key` holds a string,
  // grouped by that string.
  [[nodiscard]] virtual std::unordered_map<std::string, std::vector<std::string>> ids_by_metadata(
      std::string_view key) const = 0;

  // Chunks stored.
  [[nodiscard]] virtual std::size_t size() const = 0;

  // Facts about the whole index as key/value text (the embedding model, ...);
  // setting a key replaces its value, and an empty value removes the key.
  [[nodiscard]] virtual std::optional<std::string> index_metadata(std::string_view key) const = 0;
  virtual void set_index_metadata(std::string_view key, std::string_view value) = 0;
  // Several keys at once, each as set_index_metadata. A store that can makes
  // them one unit (all written or none); this default sets them in turn.
  virtual void set_index_metadata_many(const std::vector<std::pair<std::string, std::string>>& entries);
};
using WritableDataStorePtr = std::shared_ptr<WritableDataStore>;

}  // namespace vorn_datastore
