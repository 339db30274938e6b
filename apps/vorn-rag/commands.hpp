// The ask and describe commands. Each returns the process exit code and
// reports failures by throwing (the caller prints them). Both open the index
// read-only.
#pragma once

#include <ostream>

#include "options.hpp"

namespace vorn_cli {

// Answers a question with the chosen strategy. UsageError for an empty
// question, NoIndexError for a missing or empty index.
int ask_command(const StoreOptions& store, const ModelOptions& model, const AskOptions& options, std::ostream& out,
                std::ostream& err);

// A strategy's slots and its built pipeline's steps.
int describe_command(const StoreOptions& store, const ModelOptions& model, const std::string& strategy,
                     const std::string& retriever, std::ostream& out);

}  // namespace vorn_cli
