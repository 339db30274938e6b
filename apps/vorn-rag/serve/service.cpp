#include "service.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "chat.hpp"
#include "components.hpp"
#include "vorn_inference/errors.hpp"
#include "vorn_inference/lm_invoker.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_retrieval/retriever.hpp"
#include "vorn_retrieval/sources.hpp"

namespace vorn_serve {
namespace {

using Clock = std::chrono::steady_clock;

// What changes when another process writes the index: in WAL mode the
// write-ahead log grows, a checkpoint rewrites the main file.
struct FileStamp {
  std::filesystem::file_time_type db_time, wal_time;
  std::uintmax_t db_size = 0, wal_size = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp stamp_of(const std::filesystem::path& path) {
  FileStamp s;
  std::error_code ec;
  s.db_time = std::filesystem::last_write_time(path, ec);
  s.db_size = std::filesystem::file_size(path, ec);
  const std::filesystem::path wal = path.string() + "-wal";
  s.wal_time = std::filesystem::last_write_time(wal, ec);
  s.wal_size = std::filesystem::file_size(wal, ec);
  return s;
}

void throw_if_stopped(const std::stop_token& stop) {
  if (stop.stop_requested()) {
    throw vorn_inference::ModelCancelledError("The client went away before its answer was ready.");
  }
}

Citation citation_of(const vorn_core::Chunk& chunk) {
  return Citation{chunk.id, source_of(chunk), chunk.content, chunk.score};
}

}  // namespace

struct RagService::Snapshot {
  std::shared_ptr<vorn_datastore::SqliteDataStore> store;
  FileStamp stamp;
  std::mutex mutex;  // guards the caches below
  std::map<std::pair<std::string, std::string>, vorn_rag::core::StrategyPtr> strategies;
  std::map<std::string, vorn_retrieval::RetrieverPtr> retrievers;
};

std::string source_of(const vorn_core::Chunk& chunk) {
  if (const vorn_core::Value* source = chunk.metadata.find("source"); source && source->is_string()) {
    return source->as_string();
  }
  return chunk.id.substr(0, chunk.id.find('#'));
}

RagService::RagService(ServiceOptions options) : options_(std::move(options)) {
  // A service answers many questions from each opening of the index.
  options_.store.memory_text_index = true;
  auto snap = std::make_shared<Snapshot>();
  snap->stamp = stamp_of(options_.store.path);
  snap->store = vorn_cli::open_store(options_.store, /*read_only=*/true);
  // Before the first request, not during it. (A reopened index is read by
  // its first search instead, while the others ask FTS5 meanwhile.)
  snap->store->chunk_store().warm_up();
  current_ = std::move(snap);
  next_check_ = Clock::now() + options_.refresh_interval;
}

std::shared_ptr<RagService::Snapshot> RagService::snapshot() {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  if (now < next_check_) return current_;
  next_check_ = now + options_.refresh_interval;
  FileStamp stamp = stamp_of(options_.store.path);
  if (stamp == current_->stamp) return current_;
  // Reopening reads every stored vector once; a failed reopen (the writer
  // mid-way through creating the file, say) keeps serving the old view.
  try {
    auto snap = std::make_shared<Snapshot>();
    snap->stamp = stamp;
    snap->store = vorn_cli::open_store(options_.store, /*read_only=*/true);
    current_ = std::move(snap);
  } catch (const std::exception&) {
  }
  return current_;
}

vorn_rag::core::StrategyPtr RagService::strategy(const std::shared_ptr<Snapshot>& snap, const std::string& name,
                                                 const std::string& retriever) {
  std::lock_guard lock(snap->mutex);
  auto& slot = snap->strategies[{name, retriever}];
  if (!slot) slot = vorn_cli::make_strategy(name, retriever, snap->store, options_.model);
  return slot;
}

vorn_core::Task<AskResult> RagService::ask(AskRequest request, RunControls controls) {
  check_strategy_name(request.strategy);
  check_retriever_name(request.retriever);
  throw_if_stopped(controls.stop);
  auto snap = snapshot();
  // The shared strategies stream to no one and stop for no one: a request
  // that needs either, with a model (answering or reranking) to apply it
  // to, gets its own (cheap beside the model call).
  const bool model_answers = options_.model.lm != "extractive";
  const bool model_reranks = options_.model.reranker == "model";
  const bool stoppable = controls.stop.stop_possible();
  const bool own = (model_answers && (controls.on_text || stoppable)) || (model_reranks && stoppable);
  auto strategy = own ? vorn_cli::make_strategy(request.strategy, request.retriever, snap->store, options_.model, 0,
                                                std::move(controls.on_text), controls.stop)
                      : this->strategy(snap, request.strategy, request.retriever);
  vorn_core::Dict options;
  if (!request.filter.is_none()) options.set("query_filter", request.filter);

  AskResult result;
  result.strategy = request.strategy;
  // Each traced request records into its own trace, however many run at once.
  vorn_core::TracePtr trace;
  if (request.trace) {
    trace = std::make_shared<vorn_core::Trace>();
    options.set(vorn_pipeline::Pipeline::kTraceKey, vorn_core::Value(trace));
  }
  vorn_core::Dict state =
      co_await strategy->arun(request.question, vorn_core::Value(request.top_k), std::move(options));
  if (trace) result.trace = trace->events();
  result.answer = state.get("response").str();
  const vorn_core::Value chunks = state.get("chunks");
  if (chunks.is_list()) {
    for (const auto& chunk : vorn_core::to_chunk_list(chunks)) result.citations.push_back(citation_of(*chunk));
  }
  co_return result;
}

vorn_core::Task<std::vector<Citation>> RagService::search(SearchRequest request) {
  check_retriever_name(request.retriever);
  auto snap = snapshot();
  vorn_retrieval::RetrieverPtr retriever;
  {
    std::lock_guard lock(snap->mutex);
    auto& slot = snap->retrievers[request.retriever];
    if (!slot) slot = vorn_cli::make_retriever(request.retriever, snap->store);
    retriever = slot;
  }
  vorn_retrieval::RetrieveOptions retrieve;
  retrieve.top_k = request.top_k;
  retrieve.query_filter = request.filter;
  vorn_core::Value found = co_await retriever->retrieve(vorn_core::Value(request.query), retrieve);
  std::vector<Citation> hits;
  for (const auto& chunk : vorn_core::to_chunk_list(found)) hits.push_back(citation_of(*chunk));
  co_return hits;
}

vorn_core::Task<std::string> RagService::standalone_question(std::vector<ChatMessage> messages,
                                                             std::stop_token stop) {
  if (options_.model.lm == "extractive" || !has_earlier_user_turn(messages)) co_return offline_question(messages);
  throw_if_stopped(stop);
  auto lm = vorn_cli::make_lm(options_.model, stop);
  vorn_inference::InvokeOptions invoke;  // named: GCC 12 destroys a braced temporary in co_await twice
  auto output = co_await lm->invoke(rewrite_prompt(messages), std::move(invoke));
  std::string rewritten = output ? output->response : std::string();
  if (rewritten.find_first_not_of(" \t\r\n") == std::string::npos || rewritten.size() > kMaxQuestionBytes) {
    co_return offline_question(messages);
  }
  co_return rewritten;
}

std::vector<SourceInfo> RagService::sources() {
  auto snap = snapshot();
  std::vector<SourceInfo> list;
  for (auto& s : vorn_retrieval::list_sources(*snap->store)) {
    list.push_back(SourceInfo{std::move(s.path), std::move(s.name), s.chunks, std::move(s.indexed_at)});
  }
  return list;
}

bool RagService::offline() const noexcept {
  return options_.model.lm == "extractive" && options_.model.reranker != "model" && options_.store.embedder == "hashing";
}

std::size_t RagService::chunk_count() { return snapshot()->store->size(); }

}  // namespace vorn_serve
