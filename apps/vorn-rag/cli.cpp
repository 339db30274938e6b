#include "cli.hpp"

#include "cli_hints.hpp"

#include <CLI/CLI.hpp>

#include <iostream>

#include "cli_errors.hpp"
#include "commands.hpp"
#include "error_report.hpp"
#include "index_command.hpp"
#include "sources_command.hpp"
#include "components.hpp"
#include "serve/serve_command.hpp"
#include "vorn_core/error.hpp"
#include "vorn_core/logger.hpp"

namespace vorn_cli {
namespace {
// Far above any embedding model's size, far below what exhausts memory.
constexpr std::size_t kMaxDimension = 65536;
// More passages than any answer can use, few enough to print.
constexpr std::int64_t kMaxTopK = 100;
// A day: a longer deadline is a typo, and the milliseconds must fit a long.
constexpr double kMaxTimeoutSeconds = 86400;
constexpr int kMaxRetries = 100;
constexpr std::size_t kMaxInFlight = 1024;
constexpr std::size_t kMaxContextBudget = 64 * 1024 * 1024;
}  // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"vorn-rag: answer questions over your own documents, offline by default."};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("vorn-rag ") + VORN_RAG_VERSION);
  StoreOptions store;
  ModelOptions model;
  app.add_option("--store", store.path, "Index file")->capture_default_str();
  // Every stored chunk holds a vector of this many floats, so an unchecked
  // typo (4000000000) would exhaust memory at the first chunk.
  app.add_option("--dimension", store.dimension, "Embedding dimension of a new index")
      ->check(CLI::Range(std::size_t{1}, kMaxDimension))
      ->capture_default_str();
  auto add_model_options = [&](CLI::App* cmd) {
    cmd->add_option("--lm", model.lm, "Model: extractive (offline) or openai (an OpenAI-compatible endpoint)")
        ->check(CLI::IsMember({"extractive", "openai"}))
        ->capture_default_str();
    cmd->add_option("--base-url", model.base_url, "Endpoint base URL for --lm openai")->capture_default_str();
    cmd->add_option("--model", model.model, "Model name for --lm openai")->capture_default_str();
    cmd->add_option("--api-key-env", model.api_key_env, "Environment variable holding the API key")
        ->capture_default_str();
    cmd->add_flag("--no-api-key", model.no_api_key,
                  "The endpoint needs no API key (a local server); otherwise a missing key variable is an error");
    cmd->add_option("--timeout", model.timeout_seconds,
                    "Deadline of one model call in seconds, every retry and wait included")
        ->check(CLI::Range(0.001, kMaxTimeoutSeconds))
        ->capture_default_str();
    cmd->add_option("--retries", model.retries, "Retries of a model call that failed on 429, 5xx or the network")
        ->check(CLI::Range(0, kMaxRetries))
        ->capture_default_str();
    cmd->add_option("--max-in-flight", model.max_in_flight, "Model requests on the wire at once to the endpoint")
        ->check(CLI::Range(std::size_t{1}, kMaxInFlight))
        ->capture_default_str();
    cmd->add_option("--context-budget", model.context_budget,
                    "Largest answer prompt in bytes; the lowest-ranked chunks are cut to fit")
        ->check(CLI::Range(std::size_t{256}, kMaxContextBudget))
        ->capture_default_str();
    cmd->add_option("--embedder", store.embedder,
                    "hashing (offline) or openai (the endpoint's embeddings; the index remembers which)")
        ->check(CLI::IsMember({"hashing", "openai"}))
        ->capture_default_str();
    cmd->add_option("--embedding-model", store.embedding_model, "Embedding model name for --embedder openai")
        ->capture_default_str();
  };

  // Only where answers are made: indexing never reranks.
  auto add_reranker_options = [&](CLI::App* cmd) {
    cmd->add_option("--reranker", model.reranker,
                    "lexical (offline, where it helps) or model (a reranking model behind a rerank endpoint)")
        ->check(CLI::IsMember({"lexical", "model"}))
        ->capture_default_str();
    cmd->add_option("--reranker-model", model.reranker_model, "Reranking model name for --reranker model");
    cmd->add_option("--reranker-url", model.reranker_url,
                    "Base URL of the rerank endpoint for --reranker model (default: --base-url)");
  };

  IndexOptions index;
  auto* index_cmd = add_index_command(app, index);
  add_model_options(index_cmd);
  SourcesOptions sources;
  auto* sources_cmd = add_sources_command(app, sources);
  RemoveOptions remove;
  auto* remove_cmd = add_remove_command(app, remove);

  AskOptions ask;
  auto* ask_cmd = app.add_subcommand("ask", "Answer a question from the index");
  ask_cmd->add_option("question", ask.question, "The question")->required();
  ask_cmd->add_option("--strategy", ask.strategy, "naive, crag, map-reduce, routed or agentic")
      ->check(CLI::IsMember(kStrategies))
      ->capture_default_str();
  ask_cmd->add_option("--retriever", ask.retriever, "vector, bm25 or hybrid")
      ->check(CLI::IsMember({"vector", "bm25", "hybrid"}))
      ->capture_default_str();
  ask_cmd->add_option("--top-k", ask.top_k, "Chunks the answer may use, best first")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            std::int64_t k = 0;
            if (CLI::detail::lexical_cast(value, k) && k >= 1 && k <= kMaxTopK) return {};
            return "must be a whole number from 1 to " + std::to_string(kMaxTopK) + " (got " + value + ")";
          },
          "1 to " + std::to_string(kMaxTopK)))
      ->capture_default_str();
  ask_cmd->add_flag("--json", ask.json, "Print the final state as JSON");
  ask_cmd->add_flag("--trace", ask.trace, "Print each step with its duration");
  ask_cmd->add_flag("--stream", ask.stream, "Print the answer as the model writes it")->excludes("--json");
  add_model_options(ask_cmd);
  add_reranker_options(ask_cmd);

  std::string describe_strategy = "naive";
  std::string describe_retriever = "hybrid";
  auto* describe_cmd = app.add_subcommand("describe", "Show a strategy's slots and its pipeline's steps");
  describe_cmd->add_option("--strategy", describe_strategy, "naive, crag, map-reduce, routed or agentic")
      ->check(CLI::IsMember(kStrategies))
      ->capture_default_str();
  describe_cmd->add_option("--retriever", describe_retriever, "vector, bm25 or hybrid")
      ->check(CLI::IsMember({"vector", "bm25", "hybrid"}))
      ->capture_default_str();
  add_model_options(describe_cmd);
  add_reranker_options(describe_cmd);

  ServeOptions serve;
  auto* serve_cmd = add_serve_command(app, serve);
  add_model_options(serve_cmd);
  add_reranker_options(serve_cmd);
  McpOptions mcp;
  auto* mcp_cmd = add_mcp_command(app, mcp);
  add_model_options(mcp_cmd);
  add_reranker_options(mcp_cmd);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? 0 : 2;
  }
  // The embeddings endpoint is reached like the model's.
  store.embedding_endpoint = endpoint_options(model);
  if (model.reranker == "model" && model.reranker_model.empty()) {
    err << "error: --reranker model needs --reranker-model NAME (the reranking model the endpoint serves).\n";
    return 2;
  }

  try {
    if (*index_cmd) return index_command(store, index, out, err);
    if (*sources_cmd) return sources_command(store, sources, out);
    if (*remove_cmd) return remove_command(store, remove, out, err);
    if (*ask_cmd) return ask_command(store, model, ask, out, err);
    if (*serve_cmd) return serve_command(store, model, serve, out, err);
    if (*mcp_cmd) return mcp_command(store, model, mcp, std::cin, out);
    return describe_command(store, model, describe_strategy, describe_retriever, out);
  } catch (const UsageError& e) {
    err << "error: " << with_cli_hints(e.message()) << "\n";
    return 2;
  } catch (const vorn_core::BaseError& e) {
    const ErrorReport report = error_report(e);
    err << "error [" << report.code << "]: " << with_cli_hints(report.message) << "\n";
  } catch (const std::exception& e) {
    err << "error: " << with_cli_hints(e.what()) << "\n";
  }
  return 1;
}

}  // namespace vorn_cli
