#include "vorn_rag/strategies/map_reduce_rag.hpp"

#include <utility>

#include "vorn_core/error.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/blocks/retrieval/utils.hpp"
#include "vorn_rag/constants.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/exceptions.hpp"

namespace vorn_rag::strategies {

using core::TypeHint;
using vorn_core::Dict;
using vorn_core::Value;

const core::StrategyClassPtr& MapReduceRAG::klass() {
  static const core::StrategyClassPtr k = [] {
    auto reranker = TypeHint::instance_of<vorn_retrieval::BaseReranker>("BaseReranker");
    core::register_type_name("BaseReranker", reranker);
    return core::StrategyMeta::create(core::ClassDescription{
        .name = "MapReduceRAG",
        .doc = "Map-reduce strategy: expand the question into several queries, retrieve once per query, fuse the "
               "per-query chunk lists, optionally rerank, then synthesize the answer. Pattern: Expand query → "
               "Retrieve and fuse (map_reduce) → [Reranker?] → Generate.",
        .bases = {core::Strategy::klass()},
        .declarations = {{"reranker", TypeHint::optional(reranker)}},
        .body = {{"reranker", Value(core::uses("Optional reranker for improving retrieval quality"))}},
        .defines_build_pipeline = true,
    });
  }();
  return k;
}

MapReduceRAG::MapReduceRAG(vorn_retrieval::QueryTransformerPtr transformer, vorn_retrieval::RetrieverPtr retriever,
                           vorn_generation::ResponseSynthesizerPtr response_synthesizer, const Value& fuse_fn,
                           std::int64_t top_k)
    : Strategy(klass()) {
  if (!transformer) throw RAGValueError("Missing `transformer`. Pass a transformer and retry.");
  if (!retriever) throw RAGValueError("Missing `retriever`. Pass a retriever and retry.");
  if (!response_synthesizer) {
    throw RAGValueError("Missing `response_synthesizer`. Pass a response synthesizer and retry.");
  }
  retriever_ = std::move(retriever);
  response_synthesizer_ = std::move(response_synthesizer);
  transformer_ = std::move(transformer);
  fusion_fn_ = blocks::retrieval::utils::resolve_fusion_fn(fuse_fn);
  top_k_ = _validate_top_k(Value(top_k), "top_k").as_int();
}

Value MapReduceRAG::_validate_top_k(Value top_k, std::string_view argument_name) {
  // Booleans compare as 0 and 1, as the host's integers do.
  double number = 0;
  if (top_k.is_bool()) {
    number = top_k.as_bool() ? 1 : 0;
  } else if (top_k.is_number()) {
    number = top_k.as_double();
  } else {
    throw RAGTypeError("Invalid " + std::string(argument_name) + ". Pass an integer of 1 or more and retry.");
  }
  if (number < 1) throw RAGValueError("Invalid " + std::string(argument_name) + ". Set it to 1 or more and retry.");
  return top_k;
}

Value MapReduceRAG::effective_top_k(Value top_k) const {
  if (top_k.is_none()) top_k = Value(top_k_);
  return _validate_top_k(std::move(top_k), "top_k");
}

Dict MapReduceRAG::run(std::string question, std::optional<Value> top_k, Dict options) {
  Value effective = effective_top_k(top_k ? std::move(*top_k) : Value());
  return Strategy::run(std::move(question), std::move(effective), std::move(options));
}

vorn_core::Task<Dict> MapReduceRAG::arun(std::string question, std::optional<Value> top_k, Dict options) {
  Value effective = effective_top_k(top_k ? std::move(*top_k) : Value());
  co_return co_await Strategy::arun(std::move(question), std::move(effective), std::move(options));
}

MapReduceRAG& MapReduceRAG::with_reranker(vorn_retrieval::RerankerPtr reranker) {
  with_slot("reranker", Value(std::move(reranker)));
  return *this;
}

vorn_retrieval::RerankerPtr MapReduceRAG::reranker() const {
  return slot("reranker").as<vorn_retrieval::BaseReranker>();
}

core::PipelinePtr MapReduceRAG::_build_pipeline() {
  std::vector<vorn_pipeline::StepPtr> steps;
  steps.push_back(vorn_pipeline::step(transformer_, {
                                                        .input_map = {{StateKeys::QUERY, StateKeys::USER_QUERY}},
                                                        .output_state = StateKeys::QUERIES,
                                                        .name = "expand_query",
                                                    }));

  // The map-reduce step hands the fusion function the per-query results as
  // one list; fusion is synchronous here, so an awaitable answer is refused
  // instead of being dropped unawaited.
  auto fusion = fusion_fn_;
  auto reduce = [fusion](vorn_core::List per_query) -> Value {
    vorn_core::CallResult fused = blocks::retrieval::utils::apply_fusion(*fusion, Value(std::move(per_query)));
    if (fused.is_awaitable()) {
      throw RAGTypeError(
          "Invalid fusion function: it returned an awaitable, but fusion after per-query retrieval runs "
          "synchronously. Pass a fusion function that returns a list of chunks and retry.");
    }
    return std::move(fused.value());
  };
  steps.push_back(vorn_pipeline::map_reduce({
      .output_state = StateKeys::CHUNKS,
      .map_func = vorn_core::ComponentPtr(retriever_),
      .reduce_func = std::move(reduce),
      .input_map =
          {
              {StateKeys::QUERY, StateKeys::QUERIES},
              {StateKeys::QUERY_FILTER, StateKeys::QUERY_FILTER},
              {StateKeys::TOP_K, StateKeys::TOP_K},
              {StateKeys::THRESHOLD, StateKeys::THRESHOLD},
          },
      // Map over the queries only, even when another input (a list-valued
      // filter) is a list too.
      .map_over = StateKeys::QUERY,
      .name = "retrieve_and_fuse",
  }));

  if (auto rerank = reranker()) {
    steps.push_back(vorn_pipeline::step(rerank, {
                                                    .input_map = {{StateKeys::CHUNKS, StateKeys::CHUNKS},
                                                                  {StateKeys::QUERY, StateKeys::USER_QUERY}},
                                                    .output_state = StateKeys::CHUNKS,
                                                    .name = "rerank",
                                                }));
  }
  steps.push_back(vorn_pipeline::step(response_synthesizer_, {
                                                                 .input_map = {{StateKeys::QUERY, StateKeys::USER_QUERY},
                                                                               {StateKeys::CHUNKS, StateKeys::CHUNKS}},
                                                                 .output_state = StateKeys::RESPONSE,
                                                                 .name = "synthesize",
                                                             }));
  return std::make_shared<vorn_pipeline::Pipeline>(std::move(steps), core::StrategyState::schema());
}

}  // namespace vorn_rag::strategies
