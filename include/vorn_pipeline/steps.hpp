// Step factories. Each takes its options as a struct, so call sites read
// like named arguments:
//
//   auto retrieve = step(retriever, {.input_map = {{"query", "user_query"}},
//                                    .output_state = "chunks", .name = "retrieve"});
//
// An input map lists (input name, key) pairs: the component or operation gets,
// under the input name, the state's value for the key, or the run context's
// when the state does not hold it. A step made without a name gets a
// generated one ("transform_3"). Every factory takes `error_handler`; without
// one the step uses `RaiseStepErrorHandler`.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "vorn_core/callable.hpp"
#include "vorn_core/value.hpp"
#include "vorn_pipeline/error_handler.hpp"
#include "vorn_pipeline/step.hpp"

namespace vorn_pipeline {

class Pipeline;
using PipelinePtr = std::shared_ptr<Pipeline>;

using InputMap = std::vector<std::pair<std::string, std::string>>;

// One output key, or several that take a returned list's items in order.
class OutputState {
 public:
  OutputState() = default;
  OutputState(const char* key) : keys_{key}, single_(true) {}
  OutputState(std::string key) : keys_{std::move(key)}, single_(true) {}
  OutputState(std::initializer_list<std::string> keys) : keys_(keys) {}
  OutputState(std::vector<std::string> keys) : keys_(std::move(keys)) {}

  bool single() const noexcept { return single_; }
  bool empty() const noexcept { return keys_.empty(); }
  const std::vector<std::string>& keys() const noexcept { return keys_; }

 private:
  std::vector<std::string> keys_;
  bool single_ = false;
};

// An operation on the step's input mapping that answers a value or an
// awaitable: a function taking `Dict` and returning a value, a
// `Task<Value>`, a `CallResult` or nothing; or a `Callable` object, called
// with the mapping as its one positional argument.
class Operation {
 public:
  Operation() = default;
  template <class F>
    requires std::invocable<F&, vorn_core::Dict> && (!std::same_as<std::decay_t<F>, Operation>)
  Operation(F f)
      : fn_([f = std::move(f)](vorn_core::Dict data) mutable {
          return vorn_core::detail::invoke_to_result(f, std::move(data));
        }) {}
  Operation(vorn_core::CallablePtr callable);

  explicit operator bool() const noexcept { return static_cast<bool>(fn_); }
  vorn_core::CallResult operator()(vorn_core::Dict data) const { return fn_(std::move(data)); }

 private:
  std::function<vorn_core::CallResult(vorn_core::Dict)> fn_;
};

struct StepOptions {
  InputMap input_map;
  std::string output_state;
  std::string name;
  ErrorHandlerPtr error_handler;
};
// Calls `component->run(inputs)` and stores the result under `output_state`.
// An absent component is reported when the step runs, through the step's
// error handling.
StepPtr step(vorn_core::ComponentPtr component, StepOptions options);

struct TransformOptions {
  Operation operation;
  InputMap input_map;                    // either this...
  std::vector<std::string> input_states;  // ...or this: data keyed by the state keys
  OutputState output_state;
  std::string name;
  ErrorHandlerPtr error_handler;
};
StepPtr transform(TransformOptions options);

struct SubgraphOptions {
  PipelinePtr subgraph;
  std::string name;
  // (inner key, outer key) pairs copied back; without it every key of the
  // inner final state is copied back under its own name.
  std::optional<std::vector<std::pair<std::string, std::string>>> output_state_map;
  ErrorHandlerPtr error_handler;
};
// Runs `subgraph` on a copy of the outer state, with the same run context.
// Without `output_state_map` it runs over the outer state itself, which ends
// the same way since steps only add or replace keys.
StepPtr subgraph(SubgraphOptions options);

struct SwitchOptions {
  // The state as a mapping in, a branch key out.
  std::function<std::string(const PipelineState&)> condition;
  std::vector<std::pair<std::string, std::vector<StepPtr>>> branches;
  std::vector<StepPtr> default_branch;  // runs when no key matches (may be empty)
  std::string name;
  ErrorHandlerPtr error_handler;
};
StepPtr switch_(SwitchOptions options);

struct MapReduceOptions {
  OutputState output_state;
  // A component called as a step calls it, or an operation on the
  // per-element input mapping.
  std::variant<vorn_core::ComponentPtr, Operation> map_func;
  // Gets the list of per-element results, in input order.
  std::function<vorn_core::Value(vorn_core::List)> reduce_func;
  InputMap input_map;
  // The input to iterate; empty: the first input whose value is a list.
  std::string map_over;
  std::string name;
  ErrorHandlerPtr error_handler;
};
// The per-element calls run concurrently on the loop (they interleave when
// they suspend); results reach `reduce_func` in input order.
StepPtr map_reduce(MapReduceOptions options);

struct WhileDoOptions {
  std::vector<StepPtr> body;
  std::function<bool(const PipelineState&)> condition;
  std::string name;
  ErrorHandlerPtr error_handler;
};
// Tests `condition` before each pass and runs the body while it holds.
StepPtr while_do(WhileDoOptions options);

}  // namespace vorn_pipeline
