#include "commands.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iomanip>

#include "cli_errors.hpp"
#include "components.hpp"
#include "index_file.hpp"
#include "trace.hpp"
#include "vorn_core/json.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_datastore/in_memory_data_store.hpp"
#include "vorn_inference/hashing_embedder.hpp"

namespace vorn_cli {
namespace {

using vorn_core::Dict;
using vorn_core::Value;

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

int ask_command(const StoreOptions& store_options, const ModelOptions& model, const AskOptions& options,
                std::ostream& out, std::ostream& err) {
  if (options.question.find_first_not_of(" \t\n\r\f\v") == std::string::npos) {
    throw UsageError("The question is empty. Ask something, e.g. vorn-rag ask \"How do I install it?\"");
  }
  auto store = open_index_for_answers(store_options);
  bool streamed = false;
  vorn_inference::TextSink on_text;
  if (options.stream) {
    on_text = [&out, &streamed](std::string_view piece) {
      streamed = true;
      out << piece << std::flush;
    };
  }
  auto strategy = make_strategy(options.strategy, options.retriever, store, model,
                                static_cast<std::size_t>(options.top_k), on_text);
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

  // A streamed answer is already on the screen.
  if (!streamed) out << state.get("response").str();
  out << "\n";
  const Value chunks = state.get("chunks");
  if (chunks.is_list() && !chunks.as_list().empty()) {
    out << "\nSources:\n";
    // The strategy's own order: the answer follows it, and a ranking stage
    // (pages ranked as a whole, one chunk per page first) may reorder
    // chunks without touching their scores, so sorting by score here would
    // list a different first source than the one the answer leads with.
    const vorn_core::ChunkList cited = vorn_core::to_chunk_list(chunks);
    for (const auto& c : cited) {
      out << "  [" << c->id << "] " << source_of(*c);
      if (const Value* page = c->metadata.find("page"); page != nullptr && page->is_int()) {
        out << ", page " << page->as_int();
      }
      if (c->score) out << "  (score " << std::fixed << std::setprecision(3) << *c->score << ")";
      out << "\n";
    }
  }
  return 0;
}

int describe_command(const StoreOptions& store_options, const ModelOptions& model, const std::string& strategy_name,
                     const std::string& retriever, std::ostream& out) {
  // Describing needs a store to wire, not documents: without an index an
  // empty one in memory serves, so describe never creates a file.
  vorn_datastore::DataStorePtr store;
  if (index_exists(store_options.path)) {
    store = open_store(store_options, /*read_only=*/true);
  } else {
    store = std::make_shared<vorn_datastore::InMemoryDataStore>(
        std::make_shared<vorn_inference::HashingEmbedder>(store_options.dimension));
  }
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
