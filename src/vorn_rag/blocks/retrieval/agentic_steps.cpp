#include "agentic_steps.hpp"

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "agentic_config.hpp"
#include "agentic_operations.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_rag/error_handler.hpp"
#include "vorn_rag/exceptions.hpp"

namespace vorn_rag::blocks::retrieval::agentic_retrieval_pipeline {

using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Task;
using vorn_core::Value;
using vorn_pipeline::PipelineState;
using vorn_pipeline::StepPtr;
using Config = AgenticRetrievalPipeline::Config;

namespace {

// A step's input, as a transform's input map would gather it.
const Value& input(const PipelineState& state, const Dict& context, const char* key) {
  return vorn_pipeline::lookup_key(state, context, key);
}

class BlockStep : public vorn_pipeline::Step {
 public:
  BlockStep(std::string name, ConfigPtr config, std::vector<std::string> outputs)
      : Step(std::move(name), std::make_shared<error_handler::PassThroughBaseErrorHandler>()),
        config_(std::move(config)),
        outputs_(std::move(outputs)) {}

  vorn_pipeline::StepKind kind() const noexcept override { return vorn_pipeline::StepKind::kTransform; }
  std::vector<std::string> output_keys() const override { return outputs_; }

 protected:
  // Shared with the block: a run reads the attributes as they are when it
  // reaches them.
  ConfigPtr config_;

 private:
  std::vector<std::string> outputs_;
};

class NormalizeStateStep final : public BlockStep {
 public:
  explicit NormalizeStateStep(ConfigPtr config)
      : BlockStep("agentic_retrieval_normalize_state", std::move(config),
                  {_NORMALIZED_STATE_OUTPUTS.begin(), _NORMALIZED_STATE_OUTPUTS.end()}) {}

 protected:
  // The fields of an `AgenticRetrievalState` made from the query and the
  // configuration, written without building the record only to read it back.
  Started start(PipelineState& state, const Dict& context) const override {
    const vorn_core::SchemaPtr& schema = detail::AgenticRetrievalState::schema();
    // The query is the only caller-given value: refuse it as the record would.
    const vorn_core::Field& query_field = *schema->field(_STATE_QUERY);
    query_field.type.validate(input(state, context, _STATE_QUERY), query_field.name);
    std::unique_lock lock(config_->mutex);
    const std::int64_t top_k = config_->top_k;
    const std::int64_t max_rounds = config_->max_rounds;
    const std::int64_t selected_chunk_limit = config_->selected_chunk_limit;
    lock.unlock();
    // The remaining fields take the record's defaults.
    Value round_idx = schema->field(_STATE_ROUND_IDX)->make_default();
    Value candidates = schema->field(_STATE_CANDIDATE_CHUNKS)->make_default();
    Value selected = schema->field(_STATE_SELECTED_CHUNKS)->make_default();
    Value evaluation = schema->field(_STATE_EVALUATION)->make_default();
    state.set(_STATE_INITIAL_TOP_K, top_k);
    state.set(_STATE_TOP_K, top_k);
    state.set(_STATE_ROUND_IDX, std::move(round_idx));
    state.set(_STATE_MAX_ROUNDS, max_rounds);
    state.set(_STATE_SELECTED_CHUNK_LIMIT, selected_chunk_limit);
    state.set(_STATE_CANDIDATE_CHUNKS, std::move(candidates));
    state.set(_STATE_SELECTED_CHUNKS, std::move(selected));
    state.set(_STATE_EVALUATION, std::move(evaluation));
    return {};
  }
};

class RetrieveStep final : public BlockStep {
 public:
  explicit RetrieveStep(ConfigPtr config)
      : BlockStep("agentic_retrieval_retrieve", std::move(config), {_STATE_CANDIDATE_CHUNKS}) {}

 protected:
  Started start(PipelineState& state, const Dict& context) const override {
    vorn_retrieval::RetrieverPtr retriever = config_->get(&Config::retriever);
    if (!retriever) throw RAGValueError("Missing `retriever`. Pass a BaseRetriever and retry.");
    // The state's `top_k` is an integer unless a caller put something else
    // there; only then is a mapping built for the retriever's own check.
    const Value& top_k = input(state, context, _STATE_TOP_K);
    vorn_retrieval::RetrieveOptions options;
    if (top_k.is_int()) {
      options.top_k = top_k.as_int();
    } else {
      Dict option_inputs;
      option_inputs.set("top_k", top_k);
      options = vorn_retrieval::retrieve_options_from(option_inputs);
    }
    Task<Value> retrieval = retriever->retrieve(input(state, context, _STATE_QUERY), std::move(options));
    // The retriever may be replaced while this run waits on it.
    return Started(std::move(retrieval), std::move(retriever));
  }
  // The retriever's list itself once every element is known to be a chunk,
  // rather than a typed copy converted back.
  void finish(Value raw, PipelineState& state, const Dict&) const override {
    require_chunk_list(raw);
    state.set(_STATE_CANDIDATE_CHUNKS, std::move(raw));
  }
};

// Calls a stage with its input mapping: a plain Component is the task the
// runner awaits (kept alive, since the block may swap its stages while the
// run waits), anything else goes through `_invoke_stage`.
vorn_pipeline::Step::Started call_stage(const Config& config, Value Config::*stage,
                                        vorn_core::ComponentPtr Config::*component, const char* stage_name,
                                        Dict inputs, bool allow_pipeline) {
  std::pair<vorn_core::ComponentPtr, Value> resolved = config.stage(stage, component);
  if (resolved.first) {
    Task<Value> answer = resolved.first->run(std::move(inputs));
    return {std::move(answer), std::move(resolved.first)};
  }
  return _invoke_stage(stage_name, std::move(resolved.second), std::move(inputs), allow_pipeline);
}

// The selection as the state keeps it. A mapping whose `selected_chunks` is
// already a list of chunks is what validation would hand back element for
// element, so that list is kept as it is; anything else is validated (and
// refused) as a `SelectionResult`.
Value selected_chunks_value(Value raw) {
  if (Value* list = raw.is_dict() ? raw.as_dict().find("selected_chunks") : nullptr; list && list->is_list()) {
    const List& items = list->as_list();
    if (std::all_of(items.begin(), items.end(), [](const Value& v) { return vorn_core::chunk_of(v) != nullptr; })) {
      return std::move(*list);
    }
  }
  return vorn_core::to_value(_normalize_selection(raw).selected_chunks);
}

Value evaluation_value(Value raw) { return _normalize_evaluation(raw).to_value(); }

// One of the block's stages (selector, evaluator) called with a mapping of
// state inputs, its answer written to one state key.
struct StageCall {
  const char* step_name;
  const char* output;  // state key the answer goes to
  Value Config::*stage;
  vorn_core::ComponentPtr Config::*component;
  const char* stage_name;
  bool allow_pipeline;
  // Each (stage input name, state key) in the order the stage receives them.
  std::vector<std::pair<const char*, const char*>> inputs;
  // The answer as the state keeps it.
  Value (*keep)(Value raw);
};

class StageStep final : public BlockStep {
 public:
  StageStep(ConfigPtr config, StageCall call)
      : BlockStep(call.step_name, std::move(config), {call.output}), call_(std::move(call)) {}

 protected:
  Started start(PipelineState& state, const Dict& context) const override {
    Dict inputs;
    inputs.reserve(call_.inputs.size());
    for (const auto& [name, key] : call_.inputs) inputs.append(name, input(state, context, key));
    return call_stage(*config_, call_.stage, call_.component, call_.stage_name, std::move(inputs),
                      call_.allow_pipeline);
  }
  void finish(Value raw, PipelineState& state, const Dict&) const override {
    state.set(call_.output, call_.keep(std::move(raw)));
  }

 private:
  StageCall call_;
};

class PrepareRetryStep final : public BlockStep {
 public:
  explicit PrepareRetryStep(ConfigPtr config)
      : BlockStep("agentic_retrieval_prepare_retry", std::move(config), {_STATE_ROUND_IDX, _STATE_TOP_K}) {}

 protected:
  Started start(PipelineState& state, const Dict& context) const override {
    const auto [round_idx, top_k] =
        _prepare_retry(config_->get(&Config::max_top_k), input(state, context, _STATE_EVALUATION),
                       input(state, context, _STATE_ROUND_IDX), input(state, context, _STATE_TOP_K),
                       input(state, context, _STATE_INITIAL_TOP_K));
    state.set(_STATE_ROUND_IDX, round_idx);
    state.set(_STATE_TOP_K, top_k);
    return {};
  }
};

class FinalizeStep final : public BlockStep {
 public:
  explicit FinalizeStep(ConfigPtr config)
      : BlockStep("agentic_retrieval_finalize", std::move(config), {_STATE_SELECTED_CHUNKS}) {}

 protected:
  Started start(PipelineState& state, const Dict& context) const override {
    const bool sufficient = _normalize_evaluation(input(state, context, _STATE_EVALUATION)).is_sufficient;
    if (!sufficient && config_->get(&Config::on_insufficient) == OnInsufficientPolicy::EMPTY) {
      state.set(_STATE_SELECTED_CHUNKS, List());
    } else if (!state.contains(_STATE_SELECTED_CHUNKS)) {
      // The selection stays as it is; only one the run context supplied
      // has to be written to the state.
      state.set(_STATE_SELECTED_CHUNKS, Value(input(state, context, _STATE_SELECTED_CHUNKS)));
    }
    return {};
  }
};

}  // namespace

void require_chunk_list(const Value& payload) {
  static const char* const kMessage =
      "The `retriever` returned unsupported data. Make it return list[Chunk]-compatible data and retry.";
  if (!payload.is_list()) throw RAGValueError(kMessage);
  for (const Value& item : payload.as_list()) {
    if (!vorn_core::chunk_of(item)) throw RAGValueError(kMessage);
  }
}

StepPtr normalize_state_step(ConfigPtr config) { return std::make_shared<NormalizeStateStep>(std::move(config)); }
StepPtr retrieve_step(ConfigPtr config) { return std::make_shared<RetrieveStep>(std::move(config)); }
StepPtr select_step(ConfigPtr config) {
  // Kept as the selector produced it: the limit is the selector's to honour.
  return std::make_shared<StageStep>(
      std::move(config),
      StageCall{"agentic_retrieval_select", _STATE_SELECTED_CHUNKS, &Config::selector, &Config::selector_component,
                "selector", false,
                {{_STATE_QUERY, _STATE_QUERY},
                 {"chunks", _STATE_CANDIDATE_CHUNKS},
                 {_STATE_SELECTED_CHUNK_LIMIT, _STATE_SELECTED_CHUNK_LIMIT}},
                selected_chunks_value});
}
StepPtr evaluate_step(ConfigPtr config) {
  return std::make_shared<StageStep>(
      std::move(config),
      StageCall{"agentic_retrieval_evaluate", _STATE_EVALUATION, &Config::evaluator, &Config::evaluator_component,
                "evaluator", true, {{_STATE_QUERY, _STATE_QUERY}, {"chunks", _STATE_SELECTED_CHUNKS}},
                evaluation_value});
}
StepPtr prepare_retry_step(ConfigPtr config) { return std::make_shared<PrepareRetryStep>(std::move(config)); }
StepPtr finalize_step(ConfigPtr config) { return std::make_shared<FinalizeStep>(std::move(config)); }

}  // namespace vorn_rag::blocks::retrieval::agentic_retrieval_pipeline
