// A pipeline step: a named unit that reads from and writes to the pipeline
// state. The factories in steps.hpp make the concrete kinds.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vorn_core/object.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/trace.hpp"
#include "vorn_core/value.hpp"
#include "vorn_pipeline/error_handler.hpp"

namespace vorn_pipeline {

namespace detail {
class StepAwaiter;
}  // namespace detail

enum class StepKind { kComponent, kTransform, kSubgraph, kSwitch, kMapReduce, kWhileDo };

// "step", "transform", "subgraph", "switch", "map_reduce", "while_do": the
// name of the factory that makes the kind.
std::string_view to_string(StepKind kind) noexcept;

// Read-only description of a built step, for tests, `describe` and tracing.
struct StepInfo {
  std::string name;
  StepKind kind;
  // Nested steps: a switch's branches by key (its default under "default"), a
  // loop's "body", a subgraph's "subgraph".
  std::vector<std::pair<std::string, std::vector<StepInfo>>> children;
};

class Step : public vorn_core::Object {
 public:
  Step(std::string name, ErrorHandlerPtr error_handler);

  const std::string& name() const noexcept { return name_; }
  virtual StepKind kind() const noexcept = 0;
  virtual StepInfo info() const;
  const ErrorHandlerPtr& error_handler() const noexcept { return error_handler_; }

  // Runs the step on `state`. Errors go through the step's error handler.
  // The caller keeps `state` and `context` alive until the task finishes.
  // Inside a traced run (vorn_core/trace.hpp) the step records its event,
  // and nested steps record under it.
  vorn_core::Task<void> execute(PipelineState& state, const vorn_core::Dict& context) const;

  // The state keys the step writes when it succeeds (none for steps that
  // only run nested steps). Traces count the chunks found under them.
  virtual std::vector<std::string> output_keys() const { return {}; }

  std::string type_name() const override;
  std::string repr() const override;

  // What `start` hands back: nothing when the step is already done, else the
  // task still to await; a `Task<Value>`'s value then goes to `finish`.
  struct Started {
    Started() noexcept = default;
    Started(vorn_core::Task<void> t) noexcept : task(std::move(t)) {}
    Started(vorn_core::Task<vorn_core::Value> t, std::shared_ptr<const void> keep = nullptr) noexcept
        : task(std::move(t)), keep_alive(std::move(keep)) {}

    std::variant<std::monostate, vorn_core::Task<void>, vorn_core::Task<vorn_core::Value>> task;
    // Held until the task is done: what the task runs on (a component whose
    // member coroutine it is) when nothing else is sure to hold it that long.
    std::shared_ptr<const void> keep_alive;
  };

 protected:
  // A step does its work in `run`, or in `start` (and `finish`); it
  // overrides one of the two, since each by default calls the other.
  //
  // `run`: the whole work as one task. By default `start`, then `finish`.
  virtual vorn_core::Task<void> run(PipelineState& state, const vorn_core::Dict& context) const;
  // The work up to its first await, run inline by whoever awaits the step,
  // so that a step which never suspends costs no coroutine frame of its
  // own. It hands back what is left to await, if anything. What it throws
  // is the step's failure, handled like one thrown by `run`. By default it
  // hands back `run`.
  virtual Started start(PipelineState& state, const vorn_core::Dict& context) const;
  // Takes the value of the `Task<Value>` that `start` handed back (writing
  // it to the state, usually). By default it drops it.
  virtual void finish(vorn_core::Value result, PipelineState& state, const vorn_core::Dict& context) const;

 private:
  friend class detail::StepAwaiter;

  vorn_core::Task<void> execute_traced(const vorn_core::TracePosition& outer, PipelineState& state,
                                       const vorn_core::Dict& context) const;

  std::string name_;
  ErrorHandlerPtr error_handler_;
};

using StepPtr = std::shared_ptr<const Step>;

namespace detail {
// Thrown by a step that runs nested steps (switch, loop, subgraph) when one of
// them failed. The nested step's own handler already decided what the error
// is, so the outer step passes `error` on unchanged instead of handling it a
// second time: a typed error let through by an inner handler stays typed, and
// a wrapped error names the step that failed, not every step around it.
struct NestedStepFailure {
  std::exception_ptr error;
};
}  // namespace detail

// A key named by an input map: from the state when it holds the key, else
// from the run context, else absent.
const vorn_core::Value& lookup_key(const PipelineState& state, const vorn_core::Dict& context,
                                   std::string_view key) noexcept;

}  // namespace vorn_pipeline
