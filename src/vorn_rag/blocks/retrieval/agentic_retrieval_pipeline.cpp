#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"

#include "agentic_operations.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <vector>

#include "vorn_core/callable.hpp"
#include "vorn_core/error.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/error_handler.hpp"
#include "vorn_rag/exceptions.hpp"

namespace vorn_rag::blocks::retrieval {

using vorn_core::ChunkList;
using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Task;
using vorn_core::Value;
using detail::AgenticRetrievalState;
using detail::EvaluationResult;
using detail::SelectionResult;
using OnInsufficientPolicy = agentic_retrieval_pipeline::OnInsufficientPolicy;
namespace keys = agentic_retrieval_pipeline;

namespace {
vorn_core::ComponentPtr plain_component(const Value& stage);
}  // namespace

// The configuration, shared by the block and every pipeline it built. Each
// read takes a snapshot under the mutex, so a run sees either the old or the
// new value of an attribute that another thread changes, never a torn one.
struct AgenticRetrievalPipeline::Config {
  mutable std::mutex mutex;
  vorn_retrieval::RetrieverPtr retriever;
  Value selector;
  Value evaluator;
  // The selector or evaluator itself when it is a plain Component (the usual
  // stage), resolved when it is set rather than on every round.
  vorn_core::ComponentPtr selector_component;
  vorn_core::ComponentPtr evaluator_component;
  std::int64_t max_rounds = 0;
  std::int64_t top_k = 0;
  std::optional<std::int64_t> max_top_k;
  std::int64_t selected_chunk_limit = 0;
  OnInsufficientPolicy on_insufficient = OnInsufficientPolicy::BEST_EFFORT;

  template <class T>
  T get(T Config::*member) const {
    std::lock_guard lock(mutex);
    return this->*member;
  }
  template <class T>
  void put(T Config::*member, T value) {
    std::lock_guard lock(mutex);
    this->*member = std::move(value);
  }
  void put_stage(Value Config::*stage, vorn_core::ComponentPtr Config::*component, Value value) {
    vorn_core::ComponentPtr plain = plain_component(value);
    std::lock_guard lock(mutex);
    this->*stage = std::move(value);
    this->*component = std::move(plain);
  }
  // What a step calls: the plain Component, or else the stage value.
  std::pair<vorn_core::ComponentPtr, Value> stage(Value Config::*stage, vorn_core::ComponentPtr Config::*component) const {
    std::lock_guard lock(mutex);
    if (this->*component) return {this->*component, Value()};
    return {nullptr, this->*stage};
  }
};

namespace {

using Config = AgenticRetrievalPipeline::Config;
using ConfigPtr = std::shared_ptr<Config>;

std::string invalid_stage_message(const std::string& stage_name, bool allow_pipeline) {
  const char* supported =
      allow_pipeline ? "Component, LMRequestProcessor, Pipeline, or Callable" : "Component, LMRequestProcessor, or Callable";
  return "Invalid `" + stage_name + "` type. Pass a " + supported + " and retry.";
}

// A typed error that translates `cause`: debug information plus chaining.
[[noreturn]] void raise_translated(std::string message, const std::exception_ptr& cause) {
  RAGValueError error(std::move(message), vorn_core::DebugInfo{"RAGValueError", vorn_core::exception_type_name(cause),
                                                               vorn_core::exception_message(cause)});
  error.set_cause(cause);
  throw error;
}

OnInsufficientPolicy to_policy(const AgenticRetrievalPipeline::OnInsufficientArg& arg) {
  // A member is looked up by its value too, which also refuses an enum value
  // cast from an out-of-range integer.
  const Value text = std::holds_alternative<OnInsufficientPolicy>(arg)
                         ? Value(keys::to_string(std::get<OnInsufficientPolicy>(arg)))
                         : std::get<Value>(arg);
  try {
    return keys::kOnInsufficientPolicy.from_value(text);
  } catch (const vorn_core::ValueError&) {
    raise_translated("Invalid `on_insufficient`. Use 'best_effort' or 'empty' and retry.", std::current_exception());
  }
}

// Refuses anything but a list whose every element is a chunk.
void require_chunk_list(const Value& payload) {
  static const char* const kMessage =
      "The `retriever` returned unsupported data. Make it return list[Chunk]-compatible data and retry.";
  if (!payload.is_list()) throw RAGValueError(kMessage);
  for (const Value& item : payload.as_list()) {
    if (!vorn_core::chunk_of(item)) throw RAGValueError(kMessage);
  }
}

// Saturating addition: a long run of retries must not wrap `top_k` around to
// a negative candidate count.
std::int64_t saturating_add(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t out = 0;
  if (!__builtin_add_overflow(a, b, &out)) return out;
  return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

std::int64_t int_entry(const Dict& data, const char* key) { return data.at(key).as_int(); }

// ---- operations on the shared configuration -------------------------------------

// The first step's outputs, in `_NORMALIZED_STATE_OUTPUTS` order: the
// fields of an `AgenticRetrievalState` made from the query and the
// configuration, without building the record only to read it back.
List initial_state_outputs(const Config& config, const Value& query) {
  const vorn_core::SchemaPtr& schema = AgenticRetrievalState::schema();
  // The query is the only caller-given value: refuse it as the record would.
  const vorn_core::Field& query_field = *schema->field(keys::_STATE_QUERY);
  query_field.type.validate(query, query_field.name);
  std::unique_lock lock(config.mutex);
  const std::int64_t top_k = config.top_k;
  const std::int64_t max_rounds = config.max_rounds;
  const std::int64_t selected_chunk_limit = config.selected_chunk_limit;
  lock.unlock();
  List out;
  out.reserve(keys::_NORMALIZED_STATE_OUTPUTS.size());
  out.emplace_back(top_k);
  out.emplace_back(top_k);
  // The remaining fields take the record's defaults.
  out.push_back(schema->field(keys::_STATE_ROUND_IDX)->make_default());
  out.emplace_back(max_rounds);
  out.emplace_back(selected_chunk_limit);
  out.push_back(schema->field(keys::_STATE_CANDIDATE_CHUNKS)->make_default());
  out.push_back(schema->field(keys::_STATE_SELECTED_CHUNKS)->make_default());
  out.push_back(schema->field(keys::_STATE_EVALUATION)->make_default());
  return out;
}

Value finalize_selected_chunks(const Config& config, const Value& evaluation, const Value& selected_chunks) {
  const bool sufficient = keys::_normalize_evaluation(evaluation).is_sufficient;
  if (!sufficient && config.get(&Config::on_insufficient) == OnInsufficientPolicy::EMPTY) return List();
  return selected_chunks;
}

// The stage runners take the configuration by value: a built pipeline may
// outlive the block, and a run may be suspended inside a stage.

// The retriever's list itself once every element is known to be a chunk: the
// retrieve step stores it as it is rather than a typed copy converted back.
Task<Value> retrieve_candidates(ConfigPtr config, Dict data) {
  vorn_retrieval::RetrieverPtr retriever = config->get(&Config::retriever);
  if (!retriever) throw RAGValueError("Missing `retriever`. Pass a BaseRetriever and retry.");
  // The state's `top_k` is an integer unless a caller put something else
  // there; only then is a mapping built for the retriever's own check.
  vorn_retrieval::RetrieveOptions options;
  if (const Value* top_k = data.find(keys::_STATE_TOP_K); top_k && top_k->is_int()) {
    options.top_k = top_k->as_int();
  } else {
    Dict option_inputs;
    option_inputs.set("top_k", data.get(keys::_STATE_TOP_K));
    options = vorn_retrieval::retrieve_options_from(option_inputs);
  }
  // (No `?:` in the awaited expression: g++ 12 miscompiles it.)
  Value query;
  if (Value* given = data.find(keys::_STATE_QUERY)) query = std::move(*given);
  Value raw = co_await retriever->retrieve(std::move(query), std::move(options));
  require_chunk_list(raw);
  co_return raw;
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
  return vorn_core::to_value(keys::_normalize_selection(raw).selected_chunks);
}

// A plain Component is the usual stage: it is awaited in the step's own
// coroutine frame. Processors (which are Components too, but answer through
// `process`), pipelines and callables go through `_invoke_stage`.
vorn_core::ComponentPtr plain_component(const Value& stage) {
  auto component = stage.as<vorn_core::Component>();
  if (component && stage.is<vorn_generation::LMRequestProcessor>()) return nullptr;
  return component;
}

// The select and evaluate steps: the step's input mapping, which gathers the
// state's chunks under the stage's own name "chunks", is the stage's input
// as it is, and the answer is normalised straight into the value the state
// keeps, in one coroutine frame per step run.
Task<Value> select_step(ConfigPtr config, Dict data) {
  std::pair<vorn_core::ComponentPtr, Value> selector = config->stage(&Config::selector, &Config::selector_component);
  Value raw;
  if (selector.first) {
    raw = co_await selector.first->run(std::move(data));
  } else {
    raw = co_await keys::_invoke_stage("selector", std::move(selector.second), std::move(data), false);
  }
  // Kept as the selector produced it: the limit is the selector's to honour.
  co_return selected_chunks_value(std::move(raw));
}

Task<Value> evaluate_step(ConfigPtr config, Dict data) {
  std::pair<vorn_core::ComponentPtr, Value> evaluator = config->stage(&Config::evaluator, &Config::evaluator_component);
  Value raw;
  if (evaluator.first) {
    raw = co_await evaluator.first->run(std::move(data));
  } else {
    raw = co_await keys::_invoke_stage("evaluator", std::move(evaluator.second), std::move(data), true);
  }
  co_return keys::_normalize_evaluation(raw).to_value();
}

vorn_pipeline::ErrorHandlerPtr pass_through() { return std::make_shared<error_handler::PassThroughBaseErrorHandler>(); }

}  // namespace

// ---- construction -------------------------------------------------------------

AgenticRetrievalPipeline::AgenticRetrievalPipeline(vorn_retrieval::RetrieverPtr retriever,
                                                   agentic_retrieval_pipeline::SelectorStage selector,
                                                   agentic_retrieval_pipeline::EvaluatorStage evaluator,
                                                   std::int64_t max_rounds, std::int64_t top_k,
                                                   std::optional<std::int64_t> max_top_k,
                                                   std::int64_t selected_chunk_limit, OnInsufficientArg on_insufficient)
    : AgenticRetrievalPipeline(Options{std::move(retriever), std::move(selector), std::move(evaluator), max_rounds,
                                       top_k, max_top_k, selected_chunk_limit, std::move(on_insufficient)}) {}

AgenticRetrievalPipeline::AgenticRetrievalPipeline(Options o) {
  keys::_validate_numeric_limits(o.max_rounds, o.top_k, o.max_top_k, o.selected_chunk_limit);
  const OnInsufficientPolicy policy = to_policy(o.on_insufficient);
  auto config = std::make_shared<Config>();
  config->retriever = std::move(o.retriever);
  config->selector = std::move(o.selector);
  config->evaluator = std::move(o.evaluator);
  config->max_rounds = o.max_rounds;
  config->top_k = o.top_k;
  config->max_top_k = o.max_top_k;
  config->selected_chunk_limit = o.selected_chunk_limit;
  config->on_insufficient = policy;
  keys::_validate_stage_type("selector", config->selector, false);
  keys::_validate_stage_type("evaluator", config->evaluator, true);
  config->selector_component = plain_component(config->selector);
  config->evaluator_component = plain_component(config->evaluator);
  config_ = std::move(config);
}

void keys::_validate_numeric_limits(std::int64_t max_rounds, std::int64_t top_k,
                                      std::optional<std::int64_t> max_top_k, std::int64_t selected_chunk_limit) {
  if (max_rounds < 1) throw RAGValueError("Invalid `max_rounds`. Set it to 1 or more and retry.");
  if (top_k < 1) throw RAGValueError("Invalid `top_k`. Set it to 1 or more and retry.");
  if (max_top_k && *max_top_k < 1) {
    throw RAGValueError("Invalid `max_top_k`. Set it to 1 or more, or omit it, and retry.");
  }
  if (max_top_k && *max_top_k < top_k) {
    throw RAGValueError("Invalid `max_top_k`. Set it to at least `top_k`, or omit it, and retry.");
  }
  if (selected_chunk_limit < 1) throw RAGValueError("Invalid `selected_chunk_limit`. Set it to 1 or more and retry.");
}

void keys::_validate_stage_type(const std::string& stage_name, const Value& stage, bool allow_pipeline) {
  if (stage.is<vorn_core::Component>() || stage.is<vorn_generation::LMRequestProcessor>()) return;
  if (allow_pipeline && stage.is<vorn_pipeline::Pipeline>()) return;
  if (stage.is<vorn_core::Callable>()) return;
  throw RAGTypeError(invalid_stage_message(stage_name, allow_pipeline));
}

// ---- attributes -----------------------------------------------------------------

vorn_retrieval::RetrieverPtr AgenticRetrievalPipeline::retriever() const { return config_->get(&Config::retriever); }
void AgenticRetrievalPipeline::set_retriever(vorn_retrieval::RetrieverPtr v) { config_->put(&Config::retriever, std::move(v)); }
Value AgenticRetrievalPipeline::selector() const { return config_->get(&Config::selector); }
void AgenticRetrievalPipeline::set_selector(Value v) {
  config_->put_stage(&Config::selector, &Config::selector_component, std::move(v));
}
Value AgenticRetrievalPipeline::evaluator() const { return config_->get(&Config::evaluator); }
void AgenticRetrievalPipeline::set_evaluator(Value v) {
  config_->put_stage(&Config::evaluator, &Config::evaluator_component, std::move(v));
}
std::int64_t AgenticRetrievalPipeline::max_rounds() const { return config_->get(&Config::max_rounds); }
void AgenticRetrievalPipeline::set_max_rounds(std::int64_t v) { config_->put(&Config::max_rounds, v); }
std::int64_t AgenticRetrievalPipeline::top_k() const { return config_->get(&Config::top_k); }
void AgenticRetrievalPipeline::set_top_k(std::int64_t v) { config_->put(&Config::top_k, v); }
std::optional<std::int64_t> AgenticRetrievalPipeline::max_top_k() const { return config_->get(&Config::max_top_k); }
void AgenticRetrievalPipeline::set_max_top_k(std::optional<std::int64_t> v) { config_->put(&Config::max_top_k, v); }
std::int64_t AgenticRetrievalPipeline::selected_chunk_limit() const {
  return config_->get(&Config::selected_chunk_limit);
}
void AgenticRetrievalPipeline::set_selected_chunk_limit(std::int64_t v) {
  config_->put(&Config::selected_chunk_limit, v);
}
OnInsufficientPolicy AgenticRetrievalPipeline::on_insufficient() const { return config_->get(&Config::on_insufficient); }
void AgenticRetrievalPipeline::set_on_insufficient(OnInsufficientPolicy v) { config_->put(&Config::on_insufficient, v); }

// ---- stages ---------------------------------------------------------------------

Task<Value> keys::_invoke_stage(std::string stage_name, Value stage, Dict kwargs,
                                                    bool allow_pipeline) {
  // Precedence matters: a processor is also a Component, but its `run` would
  // hand back the whole model output instead of the structured answer.
  if (auto processor = stage.as<vorn_generation::LMRequestProcessor>()) {
    vorn_inference::LMOutputPtr output = co_await processor->process(std::move(kwargs));
    if (!output || output->structured_output.is_none()) {
      throw RAGValueError("`" + stage_name +
                          "` returned no structured output. Configure its LMRequestProcessor to return structured "
                          "output and retry.");
    }
    co_return output->structured_output;
  }
  if (auto component = stage.as<vorn_core::Component>()) co_return co_await component->run(std::move(kwargs));
  if (allow_pipeline) {
    if (auto pipeline = stage.as<vorn_pipeline::Pipeline>()) {
      Dict final_state = co_await pipeline->invoke(Value(std::move(kwargs)), Dict());
      co_return Value(std::move(final_state));
    }
  }
  if (auto callable = stage.as<vorn_core::Callable>(); callable && !stage.is<vorn_pipeline::Pipeline>()) {
    co_return co_await vorn_core::resolve(callable->call(List(), std::move(kwargs)));
  }
  throw RAGTypeError(invalid_stage_message(stage_name, allow_pipeline));
}

// ---- normalisation ----------------------------------------------------------------

ChunkList keys::_normalize_retrieved_chunks(const Value& payload) {
  require_chunk_list(payload);
  ChunkList out;
  out.reserve(payload.as_list().size());
  for (const Value& item : payload.as_list()) out.push_back(std::static_pointer_cast<vorn_core::Chunk>(item.as_object()));
  return out;
}

SelectionResult keys::_normalize_selection(const Value& payload) {
  try {
    return SelectionResult::from_value(payload);
  } catch (const vorn_core::ValidationError&) {
    raise_translated(
        "The `selector` returned unsupported data. Make it return SelectionResult-compatible data and retry.",
        std::current_exception());
  }
}

EvaluationResult keys::_normalize_evaluation(const Value& payload) {
  try {
    return EvaluationResult::from_value(payload);
  } catch (const vorn_core::ValidationError&) {
    raise_translated(
        "The `evaluator` returned unsupported data. Make it return EvaluationResult-compatible data and retry.",
        std::current_exception());
  }
}

// ---- loop operations ----------------------------------------------------------------

bool keys::_should_continue_loop(const Dict& state) {
  static const Value kAbsent;
  const Value* evaluation = state.find(keys::_STATE_EVALUATION);
  if (_normalize_evaluation(evaluation ? *evaluation : kAbsent).is_sufficient) return false;
  return int_entry(state, keys::_STATE_ROUND_IDX) < int_entry(state, keys::_STATE_MAX_ROUNDS);
}

std::pair<std::int64_t, std::int64_t> keys::_prepare_retry(std::optional<std::int64_t> max_top_k, const Dict& data) {
  static const Value kAbsent;
  const Value* stored = data.find(_STATE_EVALUATION);
  const EvaluationResult evaluation = _normalize_evaluation(stored ? *stored : kAbsent);
  const std::int64_t round_idx = int_entry(data, _STATE_ROUND_IDX);
  const std::int64_t top_k = int_entry(data, _STATE_TOP_K);
  if (evaluation.is_sufficient) return {round_idx, top_k};
  // Linear growth by the initial count, bounded by the cap once one is set.
  std::int64_t next = saturating_add(top_k, int_entry(data, _STATE_INITIAL_TOP_K));
  if (max_top_k) next = std::min(next, *max_top_k);
  return {saturating_add(round_idx, 1), next};
}

// ---- build ----------------------------------------------------------------------------

vorn_pipeline::PipelinePtr AgenticRetrievalPipeline::build() const {
  using vorn_pipeline::StepPtr;
  ConfigPtr config = config_;

  StepPtr normalize = vorn_pipeline::transform({
      .operation = [config](Dict data) -> Value { return initial_state_outputs(*config, data.get(keys::_STATE_QUERY)); },
      .input_states = {keys::_STATE_QUERY},
      .output_state = std::vector<std::string>(keys::_NORMALIZED_STATE_OUTPUTS.begin(),
                                               keys::_NORMALIZED_STATE_OUTPUTS.end()),
      .name = "agentic_retrieval_normalize_state",
      .error_handler = pass_through(),
  });
  StepPtr retrieve = vorn_pipeline::transform({
      .operation = [config](Dict data) { return retrieve_candidates(config, std::move(data)); },
      .input_states = {keys::_STATE_QUERY, keys::_STATE_TOP_K},
      .output_state = keys::_STATE_CANDIDATE_CHUNKS,
      .name = "agentic_retrieval_retrieve",
      .error_handler = pass_through(),
  });
  StepPtr select = vorn_pipeline::transform({
      .operation = [config](Dict data) { return select_step(config, std::move(data)); },
      .input_map = {{keys::_STATE_QUERY, keys::_STATE_QUERY},
                    {"chunks", keys::_STATE_CANDIDATE_CHUNKS},
                    {keys::_STATE_SELECTED_CHUNK_LIMIT, keys::_STATE_SELECTED_CHUNK_LIMIT}},
      .output_state = keys::_STATE_SELECTED_CHUNKS,
      .name = "agentic_retrieval_select",
      .error_handler = pass_through(),
  });
  StepPtr evaluate = vorn_pipeline::transform({
      .operation = [config](Dict data) { return evaluate_step(config, std::move(data)); },
      .input_map = {{keys::_STATE_QUERY, keys::_STATE_QUERY}, {"chunks", keys::_STATE_SELECTED_CHUNKS}},
      .output_state = keys::_STATE_EVALUATION,
      .name = "agentic_retrieval_evaluate",
      .error_handler = pass_through(),
  });
  StepPtr prepare = vorn_pipeline::transform({
      .operation = [config](Dict data) -> Value {
        auto [round_idx, top_k] = keys::_prepare_retry(config->get(&Config::max_top_k), data);
        List out;
        out.emplace_back(round_idx);
        out.emplace_back(top_k);
        return out;
      },
      .input_states = {keys::_STATE_EVALUATION, keys::_STATE_ROUND_IDX, keys::_STATE_TOP_K, keys::_STATE_INITIAL_TOP_K},
      .output_state = {keys::_STATE_ROUND_IDX, keys::_STATE_TOP_K},
      .name = "agentic_retrieval_prepare_retry",
      .error_handler = pass_through(),
  });
  StepPtr loop = vorn_pipeline::while_do({
      .body = {retrieve, select, evaluate, prepare},
      .condition = [](const vorn_pipeline::PipelineState& state) { return keys::_should_continue_loop(state); },
      .name = "agentic_retrieval_loop",
  });
  StepPtr finalize = vorn_pipeline::transform({
      .operation = [config](Dict data) -> Value {
        return finalize_selected_chunks(*config, data.get(keys::_STATE_EVALUATION), data.get(keys::_STATE_SELECTED_CHUNKS));
      },
      .input_states = {keys::_STATE_EVALUATION, keys::_STATE_SELECTED_CHUNKS},
      .output_state = keys::_STATE_SELECTED_CHUNKS,
      .name = "agentic_retrieval_finalize",
      .error_handler = pass_through(),
  });
  return std::make_shared<vorn_pipeline::Pipeline>(std::vector<StepPtr>{normalize, loop, finalize},
                                                   AgenticRetrievalState::schema());
}

}  // namespace vorn_rag::blocks::retrieval
