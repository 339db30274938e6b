#include "vorn_pipeline/pipeline.hpp"

#include <algorithm>

#include "vorn_core/error.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/trace.hpp"

#include "step_awaiter.hpp"

namespace vorn_pipeline {

using vorn_core::Dict;
using vorn_core::Task;
using vorn_core::Value;

Pipeline::Pipeline(std::vector<StepPtr> steps, vorn_core::SchemaPtr state_type)
    : steps_(std::move(steps)), state_type_(std::move(state_type)) {
  for (const auto& s : steps_) {
    if (!s) throw vorn_core::InvalidValueError("A pipeline step is missing. Pass only steps and retry.");
  }
}

PipelinePtr Pipeline::with_state_type(vorn_core::SchemaPtr state_type) const {
  return std::make_shared<Pipeline>(steps_, std::move(state_type));
}

std::vector<StepInfo> Pipeline::describe() const {
  std::vector<StepInfo> out;
  out.reserve(steps_.size());
  for (const auto& s : steps_) out.push_back(s->info());
  return out;
}

namespace {

// Whether `values` starts with the defaulted fields of `schema`, in order:
// then the defaults would all be overwritten in place and the state is
// exactly `values` (a record of this schema or one derived from it).
bool starts_with_defaulted_fields(const Dict& values, const vorn_core::Schema& schema) {
  auto entry = values.begin();
  for (const auto& f : schema.fields()) {
    if (f.is_required()) continue;
    if (entry == values.end() || entry->first != f.name) return false;
    ++entry;
  }
  return true;
}

// Adds the defaults of the fields `state` lacks. A state made from this
// schema holds the fields in order, so each field's own position is
// checked before the state is searched.
void fill_missing_defaults(PipelineState& state, const vorn_core::Schema& schema) {
  std::size_t position = 0;
  for (const auto& f : schema.fields()) {
    if (position < state.size() && (state.begin() + static_cast<std::ptrdiff_t>(position))->first == f.name) {
      ++position;
      continue;
    }
    if (!f.is_required() && !state.contains(f.name)) state.set(f.name, f.make_default());
  }
}

// The trace a caller asked for with the run context entry `trace`, unless
// the run already records into it (a subgraph run inside the traced run).
vorn_core::Trace* requested_trace(const Dict& context) {
  const Value* entry = context.find(Pipeline::kTraceKey);
  if (!entry) return nullptr;
  auto* trace = entry->get_if<vorn_core::Trace>();
  if (!trace || vorn_core::current_trace() == trace) return nullptr;
  return trace;
}

}  // namespace

// The state holds the defaulted fields first, in field order, then the
// required ones, then whatever else the initial state brought.
PipelineState Pipeline::prepare(const Value& initial_state) const {
  if (initial_state.is_none()) {
    if (state_type_) {
      for (const auto& f : state_type_->fields()) {
        if (f.is_required()) {
          throw vorn_core::RecordValidationError("Validation failed for " + state_type_->name() + ": field `" + f.name +
                                           "` is required. Pass a value for it and retry.");
        }
      }
      return state_type_->defaults();
    }
    return Dict{};
  }
  if (auto* record = initial_state.get_if<vorn_core::Record>()) {
    const Dict& values = record->values();
    if (!state_type_ || starts_with_defaulted_fields(values, *state_type_)) return values;
    PipelineState state = state_type_->defaults();
    for (const auto& [k, v] : values) state.set(k, v);
    return state;
  }
  if (!initial_state.is_dict()) {
    throw vorn_core::InvalidTypeError("The initial state must be a record or a mapping, got " + initial_state.type_name() +
                               ". Pass a mapping of state fields and retry.");
  }
  const Dict& given = initial_state.as_dict();
  if (!state_type_) return given;
  // Validates field types and required fields; keys that are no field pass through.
  Dict values = state_type_->make_values(given);
  // `values` holds one entry per field, in field order. The defaulted ones
  // move to the front in place, keeping their order (an entry not yet
  // reached is still at its field's position): no entry is copied.
  const auto& fields = state_type_->fields();
  const auto entries = values.begin();
  std::size_t defaulted = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].is_required()) continue;
    if (i != defaulted) std::rotate(entries + defaulted, entries + i, entries + i + 1);
    ++defaulted;
  }
  PipelineState state = std::move(values);
  for (const auto& [k, v] : given)
    if (!state_type_->has_field(k)) state.append(k, v);
  return state;
}

// The run's coroutines own the pipeline (and so its steps) from the call of
// `invoke` on: a caller may drop its reference before awaiting the task or
// while the run is suspended.
Task<Dict> Pipeline::invoke(Value initial_state, Dict context) const {
  return invoke_owned(std::static_pointer_cast<const Pipeline>(shared_from_this()), std::move(initial_state),
                      std::move(context));
}

Task<Dict> Pipeline::invoke_owned(std::shared_ptr<const Pipeline> self, Value initial_state, Dict context) {
  std::optional<vorn_core::TraceScope> trace_scope;
  if (auto* trace = requested_trace(context)) trace_scope.emplace(*trace);
  PipelineState state = self->prepare(initial_state);
  // The run works on `state`: the input is not held for the whole run.
  initial_state = Value();
  for (const auto& s : self->steps_) co_await detail::StepAwaiter(*s, state, context);
  co_return state;
}

Task<Dict> Pipeline::run_state(PipelineState state, Dict context) const {
  return run_state_owned(std::static_pointer_cast<const Pipeline>(shared_from_this()), std::move(state),
                         std::move(context));
}

Task<Dict> Pipeline::run_state_owned(std::shared_ptr<const Pipeline> self, PipelineState state, Dict context) {
  std::optional<vorn_core::TraceScope> trace_scope;
  if (auto* trace = requested_trace(context)) trace_scope.emplace(*trace);
  if (self->state_type_) fill_missing_defaults(state, *self->state_type_);
  for (const auto& s : self->steps_) co_await detail::StepAwaiter(*s, state, context);
  co_return state;
}

Task<void> detail::run_nested(const Pipeline& pipeline, PipelineState& state, const Dict& context) {
  if (pipeline.state_type()) fill_missing_defaults(state, *pipeline.state_type());
  for (const auto& s : pipeline.steps()) {
    try {
      co_await StepAwaiter(*s, state, context);
    } catch (...) {
      throw NestedStepFailure{std::current_exception()};
    }
  }
}

std::shared_ptr<Tool> Pipeline::as_tool(std::string name, std::string description) const {
  return std::make_shared<Tool>(std::move(name), std::move(description),
                                std::static_pointer_cast<const Pipeline>(shared_from_this()));
}

std::string Pipeline::repr() const {
  std::string out = "Pipeline([";
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    if (i) out += ", ";
    out += vorn_core::quote(steps_[i]->name());
  }
  return out + "])";
}

PipelinePtr operator|(const StepPtr& a, const StepPtr& b) { return std::make_shared<Pipeline>(std::vector{a, b}); }

PipelinePtr operator|(const PipelinePtr& a, const StepPtr& b) {
  if (!a) throw vorn_core::InvalidValueError("Cannot sequence an absent pipeline. Pass a pipeline and retry.");
  std::vector<StepPtr> steps = a->steps();
  steps.push_back(b);
  return std::make_shared<Pipeline>(std::move(steps), a->state_type());
}

PipelinePtr operator|(const PipelinePtr& a, const PipelinePtr& b) {
  if (!a || !b) throw vorn_core::InvalidValueError("Cannot sequence an absent pipeline. Pass a pipeline and retry.");
  std::vector<StepPtr> steps = a->steps();
  steps.insert(steps.end(), b->steps().begin(), b->steps().end());
  return std::make_shared<Pipeline>(std::move(steps), a->state_type());
}

// Not a coroutine: the returned run owns the pipeline, not this tool.
Task<Dict> Tool::arun(Dict arguments, Dict context) const {
  return pipeline_->invoke(std::move(arguments), std::move(context));
}

Dict Tool::run(Dict arguments, Dict context) const {
  return vorn_core::run_sync(arun(std::move(arguments), std::move(context)));
}

std::string Tool::repr() const { return "Tool(name=" + vorn_core::quote(name_) + ")"; }

}  // namespace vorn_pipeline
