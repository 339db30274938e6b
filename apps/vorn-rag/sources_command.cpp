#include "sources_command.hpp"

#include <nlohmann/json.hpp>

#include "cli_errors.hpp"
#include "components.hpp"
#include "counted.hpp"
#include "index_file.hpp"
#include "vorn_retrieval/sources.hpp"

namespace vorn_cli {

CLI::App* add_sources_command(CLI::App& app, SourcesOptions& options) {
  auto* cmd = app.add_subcommand("sources", "List the documents in the index");
  cmd->add_flag("--json", options.json, "Print them as JSON");
  return cmd;
}

int sources_command(const StoreOptions& store_options, const SourcesOptions& options, std::ostream& out) {
  auto store = open_store(store_options, /*read_only=*/true);
  const auto sources = vorn_retrieval::list_sources(*store);
  if (options.json) {
    auto list = nlohmann::json::array();
    for (const auto& s : sources) {
      list.push_back({{"path", s.path}, {"name", s.name}, {"chunks", s.chunks}, {"indexed_at", s.indexed_at}});
    }
    out << list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return 0;
  }
  std::size_t chunks = 0;
  for (const auto& s : sources) chunks += s.chunks;
  out << counted(sources.size(), "source") << ", " << counted(chunks, "chunk") << " in "
      << store_options.path.string() << "\n";
  for (const auto& s : sources) {
    out << "  " << s.path << "  " << counted(s.chunks, "chunk") << ", indexed "
        << (s.indexed_at.empty() ? std::string("at an unknown time") : s.indexed_at);
    if (!s.name.empty() && s.name != s.path) out << ", cited as " << s.name;
    out << "\n";
  }
  return 0;
}

CLI::App* add_remove_command(CLI::App& app, RemoveOptions& options) {
  auto* cmd = app.add_subcommand("remove", "Remove documents (or every document under a folder) from the index");
  cmd->add_option("paths", options.paths, "Files or folders, as `vorn-rag sources` lists them or as given to index")
      ->required();
  return cmd;
}

int remove_command(const StoreOptions& store_options, const RemoveOptions& options, std::ostream& out,
                   std::ostream& err) {
  // Removing from an index that is not there must not create one.
  if (!index_exists(store_options.path)) throw NoIndexError(no_index_message(store_options.path));
  auto store = open_writable_store(store_options);
  const auto removed = vorn_retrieval::remove_sources(*store, options.paths);
  out << "Removed " << counted(removed.sources, "source") << " (" << counted(removed.chunks, "chunk") << ") from "
      << store_options.path.string() << "; " << counted(store->size(), "chunk") << " in the index.\n";
  for (const auto& path : removed.unmatched) {
    err << "error [VORN-CLI-NO-SOURCE]: No source at " << path
        << " in the index. Run `vorn-rag sources` to list them.\n";
  }
  return removed.unmatched.empty() ? 0 : 1;
}

}  // namespace vorn_cli
