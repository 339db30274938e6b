// What the HTTP and MCP front ends ask of the library: answers, searches and
// the list of sources over one index, with strategies built the way the
// `ask` command builds them.
//
// The index is opened read-only. Chunks another process adds become visible
// to later requests: at most once per `refresh_interval` a request checks
// whether the index file changed and, if so, reopens it; requests already
// running keep the components they started with.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "options.hpp"
#include "requests.hpp"
#include "trace.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/task.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_inference/lm_invoker.hpp"
#include "vorn_rag/core/strategy.hpp"

namespace vorn_serve {

struct ServiceOptions {
  vorn_cli::StoreOptions store;
  vorn_cli::ModelOptions model;
  RequestDefaults defaults;
  std::chrono::milliseconds refresh_interval{1000};
};

struct Citation {
  std::string id;
  std::string source;
  std::string text;
  std::optional<double> score;
};

struct AskResult {
  std::string answer;
  std::string strategy;
  std::vector<Citation> citations;
  // The run's trace when the request asked for it.
  std::optional<std::vector<vorn_core::TraceEvent>> trace;
};

struct SourceInfo {
  std::string path;        // the document's resolved path: its identity
  std::string name;        // what citations show as its source
  std::size_t chunks = 0;
  std::string indexed_at;  // UTC; empty when not recorded
};

// What a front end attaches to one request.
struct RunControls {
  // Receives the answer's text as the model writes it (nothing offline:
  // the extractive answer comes whole).
  vorn_inference::TextSink on_text;
  // Ends the request's model calls (ModelCancelledError), and the request
  // itself if it has not started: its client went away.
  std::stop_token stop;
};

class RagService {
 public:
  // Opens the index; throws (ValueError naming the path) when there is none.
  explicit RagService(ServiceOptions options);

  vorn_core::Task<AskResult> ask(AskRequest request, RunControls controls = {});
  vorn_core::Task<std::vector<Citation>> search(SearchRequest request);
  // The question a conversation asks now. With a model, earlier turns are
  // folded into a standalone question by the model; offline, earlier user
  // turns are added to the last one so that retrieval sees what "it" means.
  vorn_core::Task<std::string> standalone_question(std::vector<ChatMessage> messages, std::stop_token stop = {});

  std::vector<SourceInfo> sources();
  std::size_t chunk_count();

  const ServiceOptions& options() const noexcept { return options_; }
  // True when no request reaches a model or embedding service: answers,
  // searches and conversations are computed here, never awaited.
  bool offline() const noexcept;

 private:
  struct Snapshot;
  std::shared_ptr<Snapshot> snapshot();
  vorn_rag::core::StrategyPtr strategy(const std::shared_ptr<Snapshot>& snap, const std::string& name,
                                       const std::string& retriever);

  ServiceOptions options_;
  std::mutex mutex_;
  std::shared_ptr<Snapshot> current_;
  std::chrono::steady_clock::time_point next_check_;
};

// The chunk's source document: its `source` metadata, else the id before '#'.
std::string source_of(const vorn_core::Chunk& chunk);

}  // namespace vorn_serve
