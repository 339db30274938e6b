// The three commands. Each returns the process exit code and reports
// failures by throwing (the caller prints them).
#pragma once

#include <ostream>

#include "options.hpp"

namespace vorn_cli {

// Indexes files and folders (.txt, .md); resumable: what is stored is skipped.
int index_command(const StoreOptions& store, const IndexOptions& options, std::ostream& out, std::ostream& err);

// Answers a question with the chosen strategy.
int ask_command(const StoreOptions& store, const ModelOptions& model, const AskOptions& options, std::ostream& out,
                std::ostream& err);

// A strategy's slots and its built pipeline's steps.
int describe_command(const StoreOptions& store, const ModelOptions& model, const std::string& strategy,
                     const std::string& retriever, std::ostream& out);

}  // namespace vorn_cli
