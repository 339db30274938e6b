#include "vorn_pipeline/step.hpp"

namespace vorn_pipeline {
namespace {
thread_local StepObserver* t_observer = nullptr;
const vorn_core::Value kAbsent;

// The handler throws (the usual case) or answers state updates. Kept out of
// `Step::execute` so that its temporaries do not enlarge the coroutine
// frame every step run pays for.
void handle_step_error(const Step& step, std::exception_ptr error, PipelineState& state,
                       const vorn_core::Dict& context) {
  auto updates = step.error_handler()->handle(std::move(error), state, Runtime{step.name(), &context},
                                              ErrorContext{step.name(), std::string(to_string(step.kind()))});
  if (updates) {
    for (auto& [k, v] : *updates) state.set(k, std::move(v));
  }
}
}  // namespace

std::string_view to_string(StepKind kind) noexcept {
  switch (kind) {
    case StepKind::kComponent: return "step";
    case StepKind::kTransform: return "transform";
    case StepKind::kSubgraph: return "subgraph";
    case StepKind::kSwitch: return "switch";
    case StepKind::kMapReduce: return "map_reduce";
    case StepKind::kWhileDo: return "while_do";
  }
  return "step";
}

void set_step_observer(StepObserver* observer) noexcept { t_observer = observer; }
StepObserver* step_observer() noexcept { return t_observer; }

Step::Step(std::string name, ErrorHandlerPtr error_handler)
    : name_(std::move(name)), error_handler_(error_handler ? std::move(error_handler) : default_error_handler()) {}

StepInfo Step::info() const { return StepInfo{name_, kind(), {}}; }

std::string Step::type_name() const { return "Step"; }

std::string Step::repr() const { return "<" + std::string(to_string(kind())) + " " + vorn_core::quote(name_) + ">"; }

vorn_core::Task<void> Step::execute(PipelineState& state, const vorn_core::Dict& context) const {
  StepObserver* observer = t_observer;
  if (observer) observer->on_step_start(*this);
  std::exception_ptr error;
  std::exception_ptr nested_error;  // already handled by a nested step
  try {
    co_await run(state, context);
  } catch (const detail::NestedStepFailure& failure) {
    nested_error = failure.error;
  } catch (...) {
    error = std::current_exception();
  }
  if (observer) observer->on_step_end(*this, error || nested_error);
  if (nested_error) std::rethrow_exception(nested_error);
  if (error) handle_step_error(*this, std::move(error), state, context);
}

const vorn_core::Value& lookup_key(const PipelineState& state, const vorn_core::Dict& context,
                                   std::string_view key) noexcept {
  if (const auto* v = state.find(key)) return *v;
  if (const auto* v = context.find(key)) return *v;
  return kAbsent;
}

}  // namespace vorn_pipeline
