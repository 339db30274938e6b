#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"

#include "agentic_config.hpp"
#include "agentic_operations.hpp"
#include "agentic_steps.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "vorn_core/callable.hpp"
#include "vorn_core/error.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_pipeline/steps.hpp"
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

// Saturating addition: a long run of retries must not wrap `top_k` around to
// a negative candidate count.
std::int64_t saturating_add(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t out = 0;
  if (!__builtin_add_overflow(a, b, &out)) return out;
  return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

std::int64_t int_entry(const Dict& data, const char* key) { return data.at(key).as_int(); }

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
  config->selector_component = keys::plain_component(config->selector);
  config->evaluator_component = keys::plain_component(config->evaluator);
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

vorn_core::ComponentPtr keys::plain_component(const Value& stage) {
  auto component = stage.as<vorn_core::Component>();
  if (component && stage.is<vorn_generation::LMRequestProcessor>()) return nullptr;
  return component;
}

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

std::pair<std::int64_t, std::int64_t> keys::_prepare_retry(std::optional<std::int64_t> max_top_k,
                                                           const Value& evaluation, const Value& round_idx,
                                                           const Value& top_k, const Value& initial_top_k) {
  const bool sufficient = _normalize_evaluation(evaluation).is_sufficient;
  const std::int64_t round = round_idx.as_int();
  const std::int64_t current = top_k.as_int();
  if (sufficient) return {round, current};
  // Linear growth by the initial count, bounded by the cap once one is set.
  std::int64_t next = saturating_add(current, initial_top_k.as_int());
  if (max_top_k) next = std::min(next, *max_top_k);
  return {saturating_add(round, 1), next};
}

std::pair<std::int64_t, std::int64_t> keys::_prepare_retry(std::optional<std::int64_t> max_top_k, const Dict& data) {
  static const Value kAbsent;
  auto entry = [&data](const char* key) -> const Value& {
    const Value* v = data.find(key);
    return v ? *v : kAbsent;
  };
  return _prepare_retry(max_top_k, entry(_STATE_EVALUATION), entry(_STATE_ROUND_IDX), entry(_STATE_TOP_K),
                        entry(_STATE_INITIAL_TOP_K));
}

// ---- build ----------------------------------------------------------------------------

vorn_pipeline::PipelinePtr AgenticRetrievalPipeline::build() const {
  using vorn_pipeline::StepPtr;
  const ConfigPtr& config = config_;
  StepPtr loop = vorn_pipeline::while_do({
      .body = {keys::retrieve_step(config), keys::select_step(config), keys::evaluate_step(config),
               keys::prepare_retry_step(config)},
      .condition = [](const vorn_pipeline::PipelineState& state) { return keys::_should_continue_loop(state); },
      .name = "agentic_retrieval_loop",
  });
  return std::make_shared<vorn_pipeline::Pipeline>(
      std::vector<StepPtr>{keys::normalize_state_step(config), loop, keys::finalize_step(config)},
      AgenticRetrievalState::schema());
}

}  // namespace vorn_rag::blocks::retrieval
