// How a runner (a pipeline, a loop, a switch branch) awaits one of its
// steps: inside the runner's own coroutine frame, with no frame for the step
// itself.
//
// `co_await StepAwaiter(step, state, context)` does what awaiting
// `step.execute(state, context)` does: `Step::start` runs inline; when it
// hands back a task, that task is started as `Task`'s awaiter starts a child
// (the runner suspends only when the child really suspends), then
// `Step::finish` takes its value; a failure goes through the step's error
// handler, and a nested step's failure (`NestedStepFailure`) passes
// unchanged. Inside a traced run the step's traced execution is awaited
// instead, so that it records its event.
#pragma once

#include <coroutine>
#include <exception>
#include <variant>

#include "vorn_core/task.hpp"
#include "vorn_core/trace.hpp"
#include "vorn_core/value.hpp"
#include "vorn_pipeline/step.hpp"

namespace vorn_pipeline::detail {

class StepAwaiter {
 public:
  enum class Mode {
    kHandled,  // failures go through the step's error handler (the usual await)
    kRaw,      // failures leave as thrown, untraced (the traced execution's own await)
  };

  StepAwaiter(const Step& step, PipelineState& state, const vorn_core::Dict& context,
              Mode mode = Mode::kHandled) noexcept
      : step_(step), state_(state), context_(context), mode_(mode) {}
  StepAwaiter(const StepAwaiter&) = delete;
  StepAwaiter& operator=(const StepAwaiter&) = delete;

  bool await_ready() {
    position_ = vorn_core::detail::t_trace_position;
    if (position_ && mode_ == Mode::kHandled) [[unlikely]] {
      traced_ = true;
      started_.task = step_.execute_traced(*position_, state_, context_);
      return false;
    }
    try {
      started_ = step_.start(state_, context_);
    } catch (...) {
      failure_ = std::current_exception();
      return true;
    }
    if (auto* task = std::get_if<1>(&started_.task); task && !task->valid()) started_.task.emplace<0>();
    return started_.task.index() == 0;
  }

  bool await_suspend(std::coroutine_handle<> awaiting) noexcept {
    bool suspended;
    if (auto* task = std::get_if<1>(&started_.task)) {
      suspended = task->handle().promise().start(task->handle(), awaiting);
    } else {
      auto& value_task = std::get<2>(started_.task);
      suspended = value_task.handle().promise().start(value_task.handle(), awaiting);
    }
    // Whatever resumes the runner, it continues at its own trace position.
    vorn_core::detail::t_trace_position = position_;
    return suspended;
  }

  void await_resume() {
    vorn_core::detail::t_trace_position = position_;
    if (!failure_ && started_.task.index() != 0) {
      try {
        if (auto* task = std::get_if<1>(&started_.task)) {
          task->handle().promise().take();
          started_ = {};
        } else {
          vorn_core::Value result = std::get<2>(started_.task).handle().promise().take();
          // The finished task's frame goes before the step goes on.
          started_ = {};
          step_.finish(std::move(result), state_, context_);
        }
      } catch (...) {
        failure_ = std::current_exception();
      }
    }
    if (failure_) [[unlikely]] fail();
  }

 private:
  // Frees the step's task, then throws what the caller must see, or
  // returns when the step's error handler answered state updates instead.
  void fail();

  const Step& step_;
  PipelineState& state_;
  const vorn_core::Dict& context_;
  Mode mode_;
  bool traced_ = false;
  const vorn_core::TracePosition* position_ = nullptr;
  Step::Started started_;
  std::exception_ptr failure_;
};

}  // namespace vorn_pipeline::detail
