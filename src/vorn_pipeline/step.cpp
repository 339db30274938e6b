#include "vorn_pipeline/step.hpp"

#include "vorn_core/chunk.hpp"
#include "vorn_core/error.hpp"

#include "step_awaiter.hpp"

namespace vorn_pipeline {
namespace {
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
// Chunks held by the lists a step wrote: counted only when every item of
// a written list is a chunk, so a list of query strings counts nothing.
std::optional<std::size_t> chunks_in_outputs(const Step& step, const PipelineState& state) {
  std::optional<std::size_t> total;
  for (const auto& key : step.output_keys()) {
    const vorn_core::Value* v = state.find(key);
    if (!v || !v->is_list()) continue;
    const vorn_core::List& items = v->as_list();
    bool all_chunks = true;
    for (const auto& item : items) {
      if (!item.get_if<vorn_core::Chunk>()) {
        all_chunks = false;
        break;
      }
    }
    if (all_chunks) total = total.value_or(0) + items.size();
  }
  return total;
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

Step::Step(std::string name, ErrorHandlerPtr error_handler)
    : name_(std::move(name)), error_handler_(error_handler ? std::move(error_handler) : default_error_handler()) {}

StepInfo Step::info() const { return StepInfo{name_, kind(), {}}; }

std::string Step::type_name() const { return "Step"; }

std::string Step::repr() const { return "<" + std::string(to_string(kind())) + " " + vorn_core::quote(name_) + ">"; }

vorn_core::Task<void> Step::execute(PipelineState& state, const vorn_core::Dict& context) const {
  co_await detail::StepAwaiter(*this, state, context);
}

vorn_core::Task<void> Step::run(PipelineState& state, const vorn_core::Dict& context) const {
  Started started = start(state, context);
  if (auto* task = std::get_if<1>(&started.task)) {
    if (task->valid()) co_await std::move(*task);
  } else if (auto* value_task = std::get_if<2>(&started.task)) {
    vorn_core::Value result = co_await std::move(*value_task);
    started = {};
    finish(std::move(result), state, context);
  }
}

Step::Started Step::start(PipelineState& state, const vorn_core::Dict& context) const { return run(state, context); }

void Step::finish(vorn_core::Value, PipelineState&, const vorn_core::Dict&) const {}

vorn_core::Task<void> Step::execute_traced(const vorn_core::TracePosition& outer, PipelineState& state,
                                           const vorn_core::Dict& context) const {
  vorn_core::Trace& trace = *outer.trace;
  const std::int64_t index = trace.begin(name_, to_string(kind()), outer.parent, outer.depth);
  // Nested steps and notes of this step's components record under it; the
  // awaiters keep this position across suspensions.
  const vorn_core::TracePosition inner{&trace, index, outer.depth + 1};
  vorn_core::detail::t_trace_position = &inner;
  std::exception_ptr error;
  std::exception_ptr nested_error;
  try {
    co_await detail::StepAwaiter(*this, state, context, detail::StepAwaiter::Mode::kRaw);
  } catch (const detail::NestedStepFailure& failure) {
    nested_error = failure.error;
  } catch (...) {
    error = std::current_exception();
  }
  vorn_core::detail::t_trace_position = &outer;
  const std::exception_ptr& failed = error ? error : nested_error;
  trace.end(index, !failed, failed ? vorn_core::error_code_of(failed) : std::string(),
            failed ? std::nullopt : chunks_in_outputs(*this, state));
  if (nested_error) std::rethrow_exception(nested_error);
  if (error) handle_step_error(*this, std::move(error), state, context);
}

void detail::StepAwaiter::fail() {
  started_ = {};
  std::exception_ptr failure = std::move(failure_);
  // The traced execution handled it already; its own await hands it on raw.
  if (traced_ || mode_ == Mode::kRaw) std::rethrow_exception(failure);
  try {
    std::rethrow_exception(failure);
  } catch (const NestedStepFailure& nested) {
    std::rethrow_exception(nested.error);
  } catch (...) {
  }
  handle_step_error(step_, std::move(failure), state_, context_);
}

const vorn_core::Value& lookup_key(const PipelineState& state, const vorn_core::Dict& context,
                                   std::string_view key) noexcept {
  if (const auto* v = state.find(key)) return *v;
  if (const auto* v = context.find(key)) return *v;
  return kAbsent;
}

}  // namespace vorn_pipeline
