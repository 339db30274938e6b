#include "commands.hpp"

#include <unistd.h>

#include <cstdio>
#include <iomanip>

#include "components.hpp"
#include "trace.hpp"
#include "vorn_core/json.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_retrieval/indexer.hpp"

namespace vorn_cli {
namespace {

using vorn_core::Dict;
using vorn_core::Value;

void print_progress(std::ostream& err, const vorn_retrieval::IndexProgress& p) {
  constexpr int kWidth = 30;
  const double done = p.chunks_total ? static_cast<double>(p.chunks_done) / static_cast<double>(p.chunks_total)
                                     : (p.documents_total ? static_cast<double>(p.documents_done) /
                                                                static_cast<double>(p.documents_total)
                                                          : 1.0);
  const int filled = static_cast<int>(done * kWidth);
  err << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << p.documents_done << "/"
      << p.documents_total << " files, " << p.chunks_done << "/" << p.chunks_total << " chunks" << std::flush;
}

void print_steps(std::ostream& out, const std::vector<vorn_pipeline::StepInfo>& steps, int depth) {
  for (const auto& s : steps) {
    out << std::string(depth * 2 + 2, ' ') << s.name << " (" << vorn_pipeline::to_string(s.kind) << ")\n";
    for (const auto& [label, children] : s.children) {
      out << std::string(depth * 2 + 4, ' ') << "[" << label << "]\n";
      print_steps(out, children, depth + 2);
    }
  }
}

std::string source_of(const vorn_core::Chunk& chunk) {
  if (const Value* source = chunk.metadata.find("source")) return source->str();
  return chunk.id.substr(0, chunk.id.find('#'));
}

}  // namespace

int index_command(const StoreOptions& store_options, const IndexOptions& options, std::ostream& out,
                  std::ostream& err) {
  auto store = open_writable_store(store_options);
  vorn_retrieval::IndexerOptions indexer_options;
  indexer_options.chunker.chunk_size = options.chunk_size;
  indexer_options.chunker.chunk_overlap = options.chunk_overlap;
  vorn_retrieval::Indexer indexer(store, indexer_options);
  const bool show = options.progress && isatty(STDERR_FILENO);
  if (show) indexer.on_progress([&err](const vorn_retrieval::IndexProgress& p) { print_progress(err, p); });
  auto summary = vorn_core::run_sync(indexer.index(options.inputs));
  if (show) err << "\n";
  out << "Indexed " << summary.files_indexed << " of " << summary.files_seen << " files into "
      << store_options.path.string() << ": " << summary.chunks_added << " chunks added, " << summary.chunks_skipped
      << " already there (" << store->size() << " in the index).\n";
  for (const auto& e : summary.errors) {
    out << "  skipped " << e.source << ": " << (e.code.empty() ? "" : "[" + e.code + "] ") << e.message << "\n";
  }
  return summary.ok() ? 0 : 1;
}

int ask_command(const StoreOptions& store_options, const ModelOptions& model, const AskOptions& options,
                std::ostream& out, std::ostream& err) {
  auto store = open_store(store_options, /*read_only=*/true);
  auto strategy = make_strategy(options.strategy, options.retriever, store, model);
  vorn_core::TracePtr trace;
  Dict run_options;
  if (options.trace) {
    trace = std::make_shared<vorn_core::Trace>();
    run_options.set(vorn_pipeline::Pipeline::kTraceKey, Value(trace));
  }
  Dict state = strategy->run(options.question, options.top_k, std::move(run_options));
  if (trace && !options.json) err << render_trace(trace->events());

  if (options.json) {
    auto json = vorn_core::to_json(Value(state));
    if (trace) json["trace"] = trace_json(trace->events());
    // A question typed in a non-UTF-8 terminal (or a chunk of such a file)
    // must not cost the whole answer: invalid bytes print as U+FFFD.
    out << json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return 0;
  }

  out << state.get("response").str() << "\n";
  const Value chunks = state.get("chunks");
  if (chunks.is_list() && !chunks.as_list().empty()) {
    out << "\nSources:\n";
    for (const auto& c : vorn_core::to_chunk_list(chunks)) {
      out << "  [" << c->id << "] " << source_of(*c);
      if (c->score) out << "  (score " << std::fixed << std::setprecision(3) << *c->score << ")";
      out << "\n";
    }
  }
  return 0;
}

int describe_command(const StoreOptions& store_options, const ModelOptions& model, const std::string& strategy_name,
                     const std::string& retriever, std::ostream& out) {
  auto store = open_store(store_options, /*read_only=*/std::filesystem::exists(store_options.path));
  auto strategy = make_strategy(strategy_name, retriever, store, model);
  out << strategy->strategy_class().describe() << "\n\nSlots set:\n";
  for (const auto& [name, value] : strategy->slots()) {
    out << "  " << name << " = " << (value.is_none() ? "None" : value.type_name()) << "\n";
  }
  out << "\nPipeline steps:\n";
  print_steps(out, strategy->build()->describe(), 0);
  return 0;
}

}  // namespace vorn_cli
