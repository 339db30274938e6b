#include "vorn_rag/strategies/crag.hpp"

#include "vorn_core/error.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/constants.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/core/strategy_ref.hpp"
#include "vorn_rag/error_handler.hpp"
#include "vorn_rag/exceptions.hpp"

namespace vorn_rag::strategies {
namespace {

using vorn_core::ChunkList;
using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Task;
using vorn_core::Value;
using vorn_pipeline::InputMap;
using vorn_pipeline::StepPtr;
using crag::DecisionResult;

using StrategyRef = core::detail::StrategyRef<CRAG>;

// The transform operation of the Decide step: the judgement as the two
// values its output keys take in order.
Task<Value> decide_operation(StrategyRef ref, Dict data) {
  std::shared_ptr<vorn_core::Object> pin;
  CRAG& strategy = ref.get(pin);
  DecisionResult result = co_await strategy._route_decision_op(std::move(data));
  List out;
  out.reserve(2);
  out.push_back(Value(std::move(result.first)));
  out.push_back(vorn_core::to_value(result.second));
  co_return Value(std::move(out));
}

// Query, filter, top-k and threshold, as both retrievers take them.
InputMap retrieve_inputs() {
  return {{StateKeys::QUERY, StateKeys::USER_QUERY},
          {StateKeys::QUERY_FILTER, StateKeys::QUERY_FILTER},
          {StateKeys::TOP_K, StateKeys::TOP_K},
          {StateKeys::THRESHOLD, StateKeys::THRESHOLD}};
}

}  // namespace

const core::StrategyClassPtr& CRAG::klass() {
  using core::TypeHint;
  static const core::StrategyClassPtr k = core::StrategyMeta::create(core::ClassDescription{
      .name = "CRAG",
      .doc = "Corrective RAG: a relevance judgement on the retrieved chunks routes the query to a relevant, "
             "irrelevant (web fallback) or ambiguous (kept subset) generate path.",
      .bases = {core::Strategy::klass()},
      .declarations =
          {
              {"relevance_evaluator", TypeHint::optional(TypeHint::instance_of<vorn_retrieval::BaseRelevanceFilter>(
                                          "BaseRelevanceFilter"))},
              {"web_retriever",
               TypeHint::optional(TypeHint::instance_of<vorn_retrieval::BaseRetriever>("BaseRetriever"))},
              {"reranker", TypeHint::optional(TypeHint::instance_of<vorn_retrieval::BaseReranker>("BaseReranker"))},
          },
      .body =
          {
              {"relevance_evaluator",
               Value(core::uses("Optional relevance evaluator used to classify retrieval confidence"))},
              {"web_retriever", Value(core::uses("Optional fallback retriever used for the irrelevant route"))},
              {"reranker", Value(core::uses("Optional reranker for improving chunks before synthesis"))},
          },
  });
  return k;
}

CRAG::CRAG(vorn_retrieval::RetrieverPtr retriever, vorn_generation::ResponseSynthesizerPtr response_synthesizer)
    : CRAG(klass(), std::move(retriever), std::move(response_synthesizer)) {}

CRAG::CRAG(core::StrategyClassPtr strategy_class, vorn_retrieval::RetrieverPtr retriever,
           vorn_generation::ResponseSynthesizerPtr response_synthesizer)
    : Strategy(std::move(strategy_class)),
      _retriever(std::move(retriever)),
      _response_synthesizer(std::move(response_synthesizer)) {}

CRAG& CRAG::with_relevance_evaluator(vorn_retrieval::RelevanceFilterPtr relevance_evaluator) {
  with_slot("relevance_evaluator", Value(std::move(relevance_evaluator)));
  return *this;
}

CRAG& CRAG::with_web_retriever(vorn_retrieval::RetrieverPtr web_retriever) {
  with_slot("web_retriever", Value(std::move(web_retriever)));
  return *this;
}

CRAG& CRAG::with_reranker(vorn_retrieval::RerankerPtr reranker) {
  with_slot("reranker", Value(std::move(reranker)));
  return *this;
}

vorn_retrieval::RelevanceFilterPtr CRAG::relevance_evaluator() const {
  return slot("relevance_evaluator").as<vorn_retrieval::BaseRelevanceFilter>();
}

vorn_retrieval::RetrieverPtr CRAG::web_retriever() const {
  return slot("web_retriever").as<vorn_retrieval::BaseRetriever>();
}

vorn_retrieval::RerankerPtr CRAG::reranker() const { return slot("reranker").as<vorn_retrieval::BaseReranker>(); }

Task<DecisionResult> CRAG::_decide_retrieval(std::string query, ChunkList chunks) {
  vorn_retrieval::RelevanceFilterPtr evaluator = relevance_evaluator();
  if (!evaluator) co_return DecisionResult(crag::RELEVANT, std::move(chunks));
  const std::size_t given = chunks.size();
  ChunkList kept = co_await evaluator->filter(std::move(chunks), std::move(query));
  // Only the counts decide, in this order: an empty retrieval judged by an
  // evaluator is irrelevant even though nothing was dropped.
  if (kept.empty()) co_return DecisionResult(crag::IRRELEVANT, std::move(kept));
  if (kept.size() == given) co_return DecisionResult(crag::RELEVANT, std::move(kept));
  co_return DecisionResult(crag::AMBIGUOUS, std::move(kept));
}

Task<DecisionResult> CRAG::_route_decision_op(Dict data) {
  std::string query = data.get(StateKeys::QUERY).as_string();
  const Value chunks = data.get(StateKeys::CHUNKS);
  ChunkList chunk_list = chunks.is_none() ? ChunkList{} : vorn_core::to_chunk_list(chunks);
  co_return co_await _decide_retrieval(std::move(query), std::move(chunk_list));
}

Value CRAG::_unexpected_route_op(Dict data) {
  throw RAGRuntimeError("Unsupported retrieval decision: " + data.get(StateKeys::RETRIEVAL_DECISION).str() +
                        ". Make the retrieval evaluator return a supported decision and retry.");
}

std::vector<StepPtr> CRAG::_build_generate_steps(std::string chunk_state, std::string prefix) const {
  std::vector<StepPtr> steps;
  std::string synthesize_from = std::move(chunk_state);
  if (vorn_retrieval::RerankerPtr reranker_component = reranker()) {
    steps.push_back(vorn_pipeline::step(
        reranker_component,
        {
            .input_map = {{StateKeys::CHUNKS, synthesize_from}, {StateKeys::QUERY, StateKeys::USER_QUERY}},
            .output_state = StateKeys::CHUNKS,
            .name = prefix + "_rerank",
        }));
    synthesize_from = StateKeys::CHUNKS;
  }
  steps.push_back(vorn_pipeline::step(
      _response_synthesizer,
      {
          .input_map = {{StateKeys::QUERY, StateKeys::USER_QUERY}, {StateKeys::CHUNKS, synthesize_from}},
          .output_state = StateKeys::RESPONSE,
          .name = prefix + "_synthesize",
      }));
  return steps;
}

core::PipelinePtr CRAG::_build_pipeline() {
  StepPtr retrieve = vorn_pipeline::step(
      _retriever, {.input_map = retrieve_inputs(), .output_state = StateKeys::CHUNKS, .name = "retrieve"});

  StrategyRef self(*this);
  StepPtr decide = vorn_pipeline::transform({
      .operation = [self](Dict data) { return decide_operation(self, std::move(data)); },
      .input_map = {{StateKeys::QUERY, StateKeys::USER_QUERY}, {StateKeys::CHUNKS, StateKeys::CHUNKS}},
      .output_state = {StateKeys::RETRIEVAL_DECISION, StateKeys::FILTERED_CHUNKS},
      .name = "decide_retrieval_route",
  });

  std::vector<StepPtr> relevant = _build_generate_steps(StateKeys::CHUNKS, crag::RELEVANT);
  std::vector<StepPtr> ambiguous = _build_generate_steps(StateKeys::FILTERED_CHUNKS, crag::AMBIGUOUS);
  std::vector<StepPtr> irrelevant;
  if (vorn_retrieval::RetrieverPtr web = web_retriever()) {
    irrelevant.push_back(vorn_pipeline::step(
        web, {.input_map = retrieve_inputs(), .output_state = StateKeys::CHUNKS, .name = "web_retrieve"}));
  }
  for (auto& s : _build_generate_steps(StateKeys::CHUNKS, crag::IRRELEVANT)) irrelevant.push_back(std::move(s));

  // Its own handler lets the typed error out unwrapped, so callers can catch
  // it and read its code.
  StepPtr unexpected = vorn_pipeline::transform({
      .operation = &CRAG::_unexpected_route_op,
      .input_map = {{StateKeys::RETRIEVAL_DECISION, StateKeys::RETRIEVAL_DECISION}},
      .output_state = StateKeys::RESPONSE,
      .name = "raise_unexpected_route",
      .error_handler = std::make_shared<error_handler::PassThroughBaseErrorHandler>(),
  });

  StepPtr route = vorn_pipeline::switch_({
      // The text form: an absent decision reads "None" and so matches no path.
      .condition = [](const vorn_pipeline::PipelineState& state) {
        return state.get(StateKeys::RETRIEVAL_DECISION).str();
      },
      .branches = {{crag::RELEVANT, std::move(relevant)},
                   {crag::IRRELEVANT, std::move(irrelevant)},
                   {crag::AMBIGUOUS, std::move(ambiguous)}},
      .default_branch = {std::move(unexpected)},
      .name = "route_by_retrieval_decision",
  });

  core::PipelinePtr pipeline = retrieve | decide | route;
  pipeline = pipeline->with_state_type(core::StrategyState::schema());
  return pipeline;
}

}  // namespace vorn_rag::strategies
