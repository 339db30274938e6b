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

vorn_core::Task<Value> run_block(std::shared_ptr<vorn_rag::blocks::retrieval::AgenticRetrievalPipeline> block,
                                 std::string query) {
  Dict initial;
  initial.set("query", std::move(query));
  Dict final_state = co_await block->build()->invoke(Value(std::move(initial)));
  vorn_core::List out;
  out.push_back(final_state.get("selected_chunks"));
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
                               return run_block(block, data.get("query").str());
                             },
                             .input_map = {{"query", "user_query"}},
                             .output_state = {"chunks", "agentic_rounds"},
                             .name = "agentic_retrieve"});
  auto synthesize = step(synthesizer_, {.input_map = {{"query", "user_query"}, {"chunks", "chunks"}},
                                        .output_state = "response",
                                        .name = "synthesize"});
  auto pipeline = retrieve | synthesize;
  pipeline->set_state_type(vorn_rag::core::StrategyState::schema());
  return pipeline;
}

}  // namespace vorn_cli
