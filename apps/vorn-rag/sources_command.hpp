// `vorn-rag sources`: the documents in the index, with their chunk counts
// and when each was last indexed; and `vorn-rag remove PATH...`.
#pragma once

#include <ostream>

#include <CLI/CLI.hpp>

#include "options.hpp"

namespace vorn_cli {

CLI::App* add_sources_command(CLI::App& app, SourcesOptions& options);
// Opens the index read-only.
int sources_command(const StoreOptions& store, const SourcesOptions& options, std::ostream& out);

CLI::App* add_remove_command(CLI::App& app, RemoveOptions& options);
// Exit 1 when a path named no source (the others are removed all the same).
int remove_command(const StoreOptions& store, const RemoveOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vorn_cli
