// What the command line chose.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "vorn_inference/openai_endpoint.hpp"

namespace vorn_cli {

struct ModelOptions {
  std::string lm = "extractive";  // "extractive" or "openai"
  std::string base_url = "https://api.openai.com/v1";
  std::string model = "gpt-4o-mini";
  std::string api_key_env = "OPENAI_API_KEY";
  // The endpoint needs no key (a local server): none is read or sent.
  bool no_api_key = false;
  // Whole deadline of one model call, retries and waits included.
  double timeout_seconds = 60;
  // Retries after a failed attempt (429, 5xx, timeouts, network failures).
  int retries = 3;
  // Requests on the wire at once to the endpoint.
  std::size_t max_in_flight = 16;
  // Largest answer prompt in bytes (about 6,000 tokens); the lowest-ranked
  // chunks are shortened or dropped to fit.
  std::size_t context_budget = 24000;
  // "lexical" (offline word overlap, where it helps the retriever) or
  // "model" (a reranking model behind a rerank endpoint, reached like the
  // model: --no-api-key, --timeout, --retries...).
  std::string reranker = "lexical";
  std::string reranker_model;
  // Base URL of the rerank endpoint; empty: --base-url.
  std::string reranker_url;
};

struct StoreOptions {
  std::filesystem::path path = ".vorn-rag/index.db";
  std::size_t dimension = 384;
  // "hashing" (offline) or "openai" (an OpenAI-compatible embeddings
  // endpoint, reached like the model: --base-url, --no-api-key...).
  std::string embedder = "hashing";
  std::string embedding_model = "text-embedding-3-small";
  // Filled from the model options after parsing.
  vorn_inference::OpenAIEndpointOptions embedding_endpoint;
  // Rank full-text searches from an in-memory copy of the text index
  // (vorn_datastore::OpenOptions::memory_text_index): for the long-lived
  // commands, which answer many questions from one opening.
  bool memory_text_index = false;
};

struct IndexOptions {
  std::vector<std::filesystem::path> inputs;
  std::size_t chunk_size = 800;
  std::size_t chunk_overlap = 100;
  bool progress = true;
  bool prune = false;
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  std::vector<std::string> source_extensions;
  std::size_t max_file_mib = 16;
};

struct SourcesOptions {
  bool json = false;
};

struct RemoveOptions {
  std::vector<std::filesystem::path> paths;
};

struct AskOptions {
  std::string question;
  std::string strategy = "naive";   // naive | crag | map-reduce | routed | agentic
  std::string retriever = "hybrid";  // vector | bm25 | hybrid
  std::int64_t top_k = 5;
  bool json = false;
  bool trace = false;
  // Print the answer as the model writes it.
  bool stream = false;
};

}  // namespace vorn_cli
