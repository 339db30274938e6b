#include "vorn_rag/strategies/naive_rag.hpp"

#include <utility>

#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/constants.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/exceptions.hpp"

namespace vorn_rag::strategies {

using blocks::retrieval::QueryExpansionPipeline;
using blocks::retrieval::QueryExpansionPipelinePtr;
using core::TypeHint;
using vorn_core::Value;

const core::StrategyClassPtr& NaiveRAG::klass() {
  static const core::StrategyClassPtr k = [] {
    auto query_expansion = TypeHint::instance_of<QueryExpansionPipeline>("QueryExpansionPipeline");
    auto reranker = TypeHint::instance_of<vorn_retrieval::BaseReranker>("BaseReranker");
    auto relevance_filter = TypeHint::instance_of<vorn_retrieval::BaseRelevanceFilter>("BaseRelevanceFilter");
    // Also resolvable by name, for strategy classes described at run time
    // with type text.
    core::register_type_name("QueryExpansionPipeline", query_expansion);
    core::register_type_name("BaseReranker", reranker);
    core::register_type_name("BaseRelevanceFilter", relevance_filter);
    return core::StrategyMeta::create(core::ClassDescription{
        .name = "NaiveRAG",
        .doc = "Linear retrieve-then-generate strategy: retrieve chunks for the question, optionally keep the "
               "relevant ones and rerank them, then synthesize the answer. Pattern: [QueryExpansionPipeline?] → "
               "Retrieve → [RelevanceFilter?] → [Reranker?] → Generate.",
        .bases = {core::Strategy::klass()},
        .declarations =
            {
                {"query_expansion", TypeHint::optional(query_expansion)},
                {"reranker", TypeHint::optional(reranker)},
                {"relevance_filter", TypeHint::optional(relevance_filter)},
            },
        .body =
            {
                {"query_expansion",
                 Value(core::uses("Optional query expansion pipeline that replaces the bare retriever step"))},
                {"reranker", Value(core::uses("Optional reranker for improving retrieval results"))},
                {"relevance_filter", Value(core::uses("Optional relevance filter for filtering retrieved chunks"))},
            },
        .defines_build_pipeline = true,
    });
  }();
  return k;
}

NaiveRAG::NaiveRAG(vorn_retrieval::RetrieverPtr retriever,
                   vorn_generation::ResponseSynthesizerPtr response_synthesizer)
    : Strategy(klass()) {
  if (!retriever) throw RAGValueError("Missing `retriever`. Pass a retriever and retry.");
  if (!response_synthesizer) {
    throw RAGValueError("Missing `response_synthesizer`. Pass a response synthesizer and retry.");
  }
  retriever_ = std::move(retriever);
  response_synthesizer_ = std::move(response_synthesizer);
}

NaiveRAG& NaiveRAG::with_query_expansion(QueryExpansionPipelinePtr query_expansion) {
  with_slot("query_expansion", Value(std::move(query_expansion)));
  return *this;
}

NaiveRAG& NaiveRAG::with_reranker(vorn_retrieval::RerankerPtr reranker) {
  with_slot("reranker", Value(std::move(reranker)));
  return *this;
}

NaiveRAG& NaiveRAG::with_relevance_filter(vorn_retrieval::RelevanceFilterPtr relevance_filter) {
  with_slot("relevance_filter", Value(std::move(relevance_filter)));
  return *this;
}

QueryExpansionPipelinePtr NaiveRAG::query_expansion() const {
  return slot("query_expansion").as<QueryExpansionPipeline>();
}

vorn_retrieval::RerankerPtr NaiveRAG::reranker() const { return slot("reranker").as<vorn_retrieval::BaseReranker>(); }

vorn_retrieval::RelevanceFilterPtr NaiveRAG::relevance_filter() const {
  return slot("relevance_filter").as<vorn_retrieval::BaseRelevanceFilter>();
}

vorn_pipeline::StepPtr NaiveRAG::_build_retrieve_step(const QueryExpansionPipelinePtr& query_expansion,
                                                      const vorn_retrieval::RetrieverPtr& retriever) {
  if (query_expansion) {
    // Only the fused chunks come back: the block's intermediate keys
    // (queries, chunk_lists) stay inside its own run.
    return vorn_pipeline::subgraph({
        .subgraph = query_expansion->build(retriever),
        .name = "expand_and_retrieve",
        .output_state_map = std::vector<std::pair<std::string, std::string>>{{StateKeys::CHUNKS, StateKeys::CHUNKS}},
    });
  }
  return vorn_pipeline::step(retriever, {
                                            .input_map =
                                                {
                                                    {StateKeys::QUERY, StateKeys::USER_QUERY},
                                                    {StateKeys::QUERY_FILTER, StateKeys::QUERY_FILTER},
                                                    {StateKeys::TOP_K, StateKeys::TOP_K},
                                                    {StateKeys::THRESHOLD, StateKeys::THRESHOLD},
                                                },
                                            .output_state = StateKeys::CHUNKS,
                                            .name = "retrieve",
                                        });
}

vorn_pipeline::StepPtr NaiveRAG::_build_filter_step(const vorn_retrieval::RelevanceFilterPtr& relevance_filter) {
  return vorn_pipeline::step(relevance_filter, {
                                                   .input_map = {{StateKeys::CHUNKS, StateKeys::CHUNKS},
                                                                 {StateKeys::QUERY, StateKeys::USER_QUERY}},
                                                   .output_state = StateKeys::CHUNKS,
                                                   .name = "filter_relevance",
                                               });
}

vorn_pipeline::StepPtr NaiveRAG::_build_rerank_step(const vorn_retrieval::RerankerPtr& reranker) {
  return vorn_pipeline::step(reranker, {
                                           .input_map = {{StateKeys::CHUNKS, StateKeys::CHUNKS},
                                                         {StateKeys::QUERY, StateKeys::USER_QUERY}},
                                           .output_state = StateKeys::CHUNKS,
                                           .name = "rerank",
                                       });
}

vorn_pipeline::StepPtr NaiveRAG::_build_synthesize_step(
    const vorn_generation::ResponseSynthesizerPtr& response_synthesizer) {
  return vorn_pipeline::step(response_synthesizer, {
                                                       .input_map = {{StateKeys::QUERY, StateKeys::USER_QUERY},
                                                                     {StateKeys::CHUNKS, StateKeys::CHUNKS}},
                                                       .output_state = StateKeys::RESPONSE,
                                                       .name = "synthesize",
                                                   });
}

core::PipelinePtr NaiveRAG::_build_pipeline() {
  // The slots are read once; the filter always precedes the reranker,
  // whatever order they were set in.
  const auto expansion = query_expansion();
  const auto filter = relevance_filter();
  const auto rerank = reranker();

  std::vector<vorn_pipeline::StepPtr> steps;
  steps.push_back(_build_retrieve_step(expansion, retriever_));
  if (filter) steps.push_back(_build_filter_step(filter));
  if (rerank) steps.push_back(_build_rerank_step(rerank));
  steps.push_back(_build_synthesize_step(response_synthesizer_));
  return std::make_shared<vorn_pipeline::Pipeline>(std::move(steps), core::StrategyState::schema());
}

}  // namespace vorn_rag::strategies
