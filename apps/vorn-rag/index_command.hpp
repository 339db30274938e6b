// `vorn-rag index PATH...`: add or update documents (resumable: what is
// stored is skipped), optionally pruning sources whose files are gone.
#pragma once

#include <ostream>

#include <CLI/CLI.hpp>

#include "options.hpp"

namespace vorn_cli {

CLI::App* add_index_command(CLI::App& app, IndexOptions& options);

int index_command(const StoreOptions& store, const IndexOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vorn_cli
