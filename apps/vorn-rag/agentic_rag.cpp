#include "agentic_rag.hpp"

#include <algorithm>
#include <set>

#include "vorn_core/callable.hpp"
#include "vorn_core/text.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_retrieval/lexical_relevance_filter.hpp"

namespace vorn_cli {
namespace {

using vorn_core::Dict;
using vorn_core::Value;

std::set<std::string> keywords(std::string_view text) {
  std::set<std::string> out;
  for (auto& w : vorn_core::tokenize_words(text))
    if (!vorn_core::is_stop_word(w)) out.insert(std::move(w));
  return out;
}

// Keeps the candidates most relevant to the query, best first.
Value select(Dict inputs) {
  const std::string query = inputs.get("query").str();
  auto chunks = vorn_core::to_chunk_list(inputs.get("chunks"));
  const auto limit = static_cast<std::size_t>(std::max<std::int64_t>(1, inputs.get("selected_chunk_limit").as_int()));
  std::vector<std::pair<double, vorn_core::ChunkPtr>> scored;
  for (const auto& c : chunks) {
    const double relevance = vorn_retrieval::LexicalRelevanceFilter::relevance(query, *c);
    if (relevance >= vorn_retrieval::LexicalRelevanceFilter::kDefaultThreshold / 2) scored.emplace_back(relevance, c);
  }
  std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  vorn_core::ChunkList selected;
  for (std::size_t i = 0; i < scored.size() && i < limit; ++i) selected.push_back(scored[i].second);
  Dict out;
  out.set("selected_chunks", vorn_core::to_value(selected));
  return out;
}

// Sufficient when the selection mentions at least 60% of the question's keywords.
Value evaluate(Dict inputs) {
  auto wanted = keywords(inputs.get("query").str());
  std::set<std::string> seen;
  for (const auto& c : vorn_core::to_chunk_list(inputs.get("chunks")))
    for (auto& w : keywords(c->content)) seen.insert(std::move(w));
  std::size_t covered = 0;
  for (const auto& w : wanted) covered += seen.count(w);
  const bool sufficient = !wanted.empty() && covered * 10 >= wanted.size() * 6;
  Dict out;
  out.set("is_sufficient", sufficient);
  return out;
}

// The answer uses at most `top_k` of the selected chunks, best retrieval
// score first, as every strategy's does.
vorn_core::ChunkList best_first(vorn_core::ChunkList chunks, std::int64_t top_k) {
  std::stable_sort(chunks.begin(), chunks.end(), [](const vorn_core::ChunkPtr& a, const vorn_core::ChunkPtr& b) {
    return a->score.value_or(0.0) > b->score.value_or(0.0);
  });
  if (top_k > 0 && chunks.size() > static_cast<std::size_t>(top_k)) chunks.resize(static_cast<std::size_t>(top_k));
  return chunks;
}

vorn_core::Task<Value> run_block(std::shared_ptr<vorn_rag::blocks::retrieval::AgenticRetrievalPipeline> block,
                                 std::string query, std::int64_t top_k) {
  Dict initial;
  initial.set("query", std::move(query));
  Dict final_state = co_await block->build()->invoke(Value(std::move(initial)));
  vorn_core::List out;
  out.push_back(vorn_core::to_value(best_first(vorn_core::to_chunk_list(final_state.get("selected_chunks")), top_k)));
  out.push_back(final_state.get("round_idx"));
  co_return out;
}

}  // namespace

const vorn_rag::core::StrategyClassPtr& AgenticRAG::klass() {
  static const auto k = vorn_rag::core::StrategyMeta::create({
      .name = "AgenticRAG",
      .doc = "Agentic retrieval: retrieve, select, judge the evidence and retry with more candidates, then answer.",
      .bases = {Strategy::klass()},
  });
  return k;
}

AgenticRAG::AgenticRAG(vorn_retrieval::RetrieverPtr retriever, vorn_generation::ResponseSynthesizerPtr synthesizer)
    : Strategy(klass()),
      block_(std::make_shared<vorn_rag::blocks::retrieval::AgenticRetrievalPipeline>(
          std::move(retriever), Value(vorn_core::make_function("select_relevant", select)),
          Value(vorn_core::make_function("judge_coverage", evaluate)), /*max_rounds=*/3, /*top_k=*/8,
          /*max_top_k=*/32, /*selected_chunk_limit=*/5)),
      synthesizer_(std::move(synthesizer)) {}

vorn_rag::core::PipelinePtr AgenticRAG::_build_pipeline() {
  using namespace vorn_pipeline;
  auto block = block_;
  auto retrieve = transform({.operation = [block](Dict data) -> vorn_core::CallResult {
                               const Value top_k = data.get("top_k");
                               return run_block(block, data.get("query").str(), top_k.is_int() ? top_k.as_int() : 0);
                             },
                             .input_map = {{"query", "user_query"}, {"top_k", "top_k"}},
                             .output_state = {"chunks", "agentic_rounds"},
                             .name = "agentic_retrieve"});
  auto synthesize = step(synthesizer_, {.input_map = {{"query", "user_query"}, {"chunks", "chunks"}},
                                        .output_state = "response",
                                        .name = "synthesize"});
  auto pipeline = retrieve | synthesize;
  pipeline = pipeline->with_state_type(vorn_rag::core::StrategyState::schema());
  return pipeline;
}

}  // namespace vorn_cli
