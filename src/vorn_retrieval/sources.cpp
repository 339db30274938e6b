#include "vorn_retrieval/sources.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>

namespace vorn_retrieval {
namespace {

namespace fs = std::filesystem;

std::string indexed_at_key(std::string_view path) { return std::string(kIndexedAtKeyPrefix) + std::string(path); }

// Whether `path` is `root` or lies below it, comparing whole components.
bool is_under(std::string_view path, std::string_view root) {
  if (path == root) return true;
  if (root.empty() || path.size() <= root.size() || path.substr(0, root.size()) != root) return false;
  return root.back() == '/' || path[root.size()] == '/';
}

SourceRemoval remove_matching(vorn_datastore::WritableDataStore& store,
                              const std::vector<std::string>& roots, bool prune) {
  SourceRemoval out;
  const auto by_path = store.ids_by_metadata("path");
  std::map<std::string, const std::vector<std::string>*> sorted;
  for (const auto& [path, ids] : by_path) sorted.emplace(path, &ids);
  std::vector<bool> used(roots.size(), false);
  for (const auto& [path, ids] : sorted) {
    bool doomed = false;
    if (prune) {
      std::error_code ec;
      doomed = !fs::exists(fs::path(path), ec) && !ec;
    }
    for (std::size_t i = 0; i < roots.size(); ++i) {
      if (is_under(path, roots[i])) {
        doomed = true;
        used[i] = true;
      }
    }
    if (!doomed) continue;
    out.chunks += store.remove(*ids);
    store.set_index_metadata(indexed_at_key(path), "");
    ++out.sources;
    out.removed.push_back(path);
  }
  for (std::size_t i = 0; i < roots.size(); ++i) {
    if (!used[i]) out.unmatched.push_back(roots[i]);
  }
  return out;
}

}  // namespace

std::string source_identity(const fs::path& file) {
  std::error_code ec;
  fs::path absolute = fs::absolute(file, ec);
  if (ec) absolute = file;
  fs::path resolved = fs::weakly_canonical(absolute, ec);
  if (ec) resolved = absolute.lexically_normal();
  std::string out = resolved.generic_string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::vector<SourceInfo> list_sources(const vorn_datastore::WritableDataStore& store) {
  const auto by_path = store.ids_by_metadata("path");
  const auto by_name = store.ids_by_metadata("source");
  std::map<std::string_view, std::string_view> name_of_id;
  for (const auto& [name, ids] : by_name) {
    for (const std::string& id : ids) name_of_id.emplace(id, name);
  }
  std::vector<SourceInfo> out;
  out.reserve(by_path.size());
  for (const auto& [path, ids] : by_path) {
    SourceInfo info;
    info.path = path;
    info.chunks = ids.size();
    if (!ids.empty()) {
      if (const auto it = name_of_id.find(ids.front()); it != name_of_id.end()) info.name = it->second;
    }
    info.indexed_at = store.index_metadata(indexed_at_key(path)).value_or("");
    out.push_back(std::move(info));
  }
  std::sort(out.begin(), out.end(), [](const SourceInfo& a, const SourceInfo& b) { return a.path < b.path; });
  return out;
}

SourceRemoval remove_sources(vorn_datastore::WritableDataStore& store, const std::vector<fs::path>& paths) {
  std::vector<std::string> roots;
  roots.reserve(paths.size());
  for (const fs::path& p : paths) roots.push_back(source_identity(p));
  return remove_matching(store, roots, /*prune=*/false);
}

SourceRemoval prune_sources(vorn_datastore::WritableDataStore& store) { return remove_matching(store, {}, true); }

std::string utc_timestamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

}  // namespace vorn_retrieval
