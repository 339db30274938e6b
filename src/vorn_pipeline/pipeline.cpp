#include "vorn_pipeline/pipeline.hpp"

#include "vorn_core/error.hpp"
#include "vorn_core/syncify.hpp"

namespace vorn_pipeline {

using vorn_core::Dict;
using vorn_core::Task;
using vorn_core::Value;

Pipeline::Pipeline(std::vector<StepPtr> steps, vorn_core::SchemaPtr state_type)
    : steps_(std::move(steps)), state_type_(std::move(state_type)) {
  for (const auto& s : steps_) {
    if (!s) throw vorn_core::ValueError("A pipeline step is missing. Pass only steps and retry.");
  }
}

std::vector<StepInfo> Pipeline::describe() const {
  std::vector<StepInfo> out;
  out.reserve(steps_.size());
  for (const auto& s : steps_) out.push_back(s->info());
  return out;
}

PipelineState Pipeline::prepare(const Value& initial_state) const {
  PipelineState state = state_type_ ? state_type_->defaults() : Dict{};
  if (initial_state.is_none()) {
    if (state_type_) {
      for (const auto& f : state_type_->fields()) {
        if (f.is_required()) {
          throw vorn_core::ValidationError("Validation failed for " + state_type_->name() + ": field `" + f.name +
                                           "` is required. Pass a value for it and retry.");
        }
      }
    }
    return state;
  }
  if (auto* record = initial_state.get_if<vorn_core::Record>()) {
    for (const auto& [k, v] : record->values()) state.set(k, v);
    return state;
  }
  if (!initial_state.is_dict()) {
    throw vorn_core::TypeError("The initial state must be a record or a mapping, got " + initial_state.type_name() +
                               ". Pass a mapping of state fields and retry.");
  }
  const Dict& given = initial_state.as_dict();
  if (state_type_) {
    // Validates field types and required fields; keys that are no field pass through.
    auto record = state_type_->make(given);
    for (const auto& [k, v] : record->values()) state.set(k, v);
    for (const auto& [k, v] : given)
      if (!state_type_->has_field(k)) state.set(k, v);
  } else {
    for (const auto& [k, v] : given) state.set(k, v);
  }
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
  PipelineState state = self->prepare(initial_state);
  for (const auto& s : self->steps_) co_await s->execute(state, context);
  co_return state;
}

Task<Dict> Pipeline::run_state(PipelineState state, Dict context) const {
  return run_state_owned(std::static_pointer_cast<const Pipeline>(shared_from_this()), std::move(state),
                         std::move(context));
}

Task<Dict> Pipeline::run_state_owned(std::shared_ptr<const Pipeline> self, PipelineState state, Dict context) {
  if (self->state_type_) {
    for (const auto& f : self->state_type_->fields()) {
      if (!state.contains(f.name) && f.default_factory) state.set(f.name, f.default_factory());
    }
  }
  for (const auto& s : self->steps_) co_await s->execute(state, context);
  co_return state;
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
  if (!a) throw vorn_core::ValueError("Cannot sequence an absent pipeline. Pass a pipeline and retry.");
  std::vector<StepPtr> steps = a->steps();
  steps.push_back(b);
  return std::make_shared<Pipeline>(std::move(steps), a->state_type());
}

PipelinePtr operator|(const PipelinePtr& a, const PipelinePtr& b) {
  if (!a || !b) throw vorn_core::ValueError("Cannot sequence an absent pipeline. Pass a pipeline and retry.");
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
