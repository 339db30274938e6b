// `vorn-rag serve` (HTTP) and `vorn-rag mcp` (Model Context Protocol over
// standard input and output): their options and how they run.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "options.hpp"

namespace vorn_cli {

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 8080;
  std::string token_env;  // empty: no authentication
  std::vector<std::string> cors_origins;
  std::string strategy = "naive";
  std::string retriever = "hybrid";
  std::int64_t top_k = 5;
  std::size_t workers = 0;  // 0: one per core
  std::size_t queue = 256;
  std::size_t connections = 128;
  std::size_t max_body_bytes = 1 << 20;
  double read_timeout_seconds = 5;
  double write_timeout_seconds = 5;
  double request_deadline_seconds = 10;
};

struct McpOptions {
  std::string strategy = "naive";
  std::string retriever = "hybrid";
  std::int64_t top_k = 5;
};

// Registers the subcommands; the caller adds the model options to each.
CLI::App* add_serve_command(CLI::App& app, ServeOptions& options);
CLI::App* add_mcp_command(CLI::App& app, McpOptions& options);

// Serves until SIGTERM or SIGINT, then finishes the requests in flight.
int serve_command(const StoreOptions& store, const ModelOptions& model, const ServeOptions& options,
                  std::ostream& out, std::ostream& err);
// Answers MCP messages from `in` until it ends.
int mcp_command(const StoreOptions& store, const ModelOptions& model, const McpOptions& options, std::istream& in,
                std::ostream& out);

}  // namespace vorn_cli
