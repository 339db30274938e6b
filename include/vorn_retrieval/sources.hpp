// The documents an index holds, as sources: one file is one source, named by
// its resolved path however it was given. The Indexer writes them; these
// functions list and remove them, on any store the Indexer can fill.
//
// Every chunk of a source carries the metadata "path" (the resolved path, its
// identity) and "source" (the name its citations show, e.g. "docs/guide.md").
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_datastore/writable_data_store.hpp"

namespace vorn_retrieval {

// Index metadata key under which the time a source was last indexed is kept.
inline constexpr std::string_view kIndexedAtKeyPrefix = "indexed_at:";

struct SourceInfo {
  std::string path;        // resolved absolute path: the identity
  std::string name;        // what citations show
  std::size_t chunks = 0;
  std::string indexed_at;  // UTC, "2026-01-31T12:00:00Z"; empty when not recorded
};

struct SourceRemoval {
  std::size_t sources = 0;
  std::size_t chunks = 0;
  std::vector<std::string> removed;    // paths of the sources removed
  std::vector<std::string> unmatched;  // paths asked for that named no source
};

// The identity of a file: its absolute path with ".", ".." and symbolic links
// resolved (as far as the path exists).
std::string source_identity(const std::filesystem::path& file);

// Every source with its chunk count, sorted by path. Works on a store opened
// read-only.
std::vector<SourceInfo> list_sources(const vorn_datastore::WritableDataStore& store);

// Removes the sources of these paths, each resolved like source_identity; a
// directory removes every source under it. One store removal per source.
SourceRemoval remove_sources(vorn_datastore::WritableDataStore& store,
                             const std::vector<std::filesystem::path>& paths);

// Removes the sources whose files no longer exist.
SourceRemoval prune_sources(vorn_datastore::WritableDataStore& store);

// The current time as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_timestamp();

}  // namespace vorn_retrieval
