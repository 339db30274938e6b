#include "vorn_pipeline/steps.hpp"

#include <atomic>

#include "vorn_core/error.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_pipeline/pipeline.hpp"

#include "step_awaiter.hpp"

namespace vorn_pipeline {
namespace {

using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Task;
using vorn_core::Value;

std::string generated_name(StepKind kind) {
  static std::atomic<std::uint64_t> counter{0};
  return std::string(to_string(kind)) + "_" + std::to_string(++counter);
}

std::string name_or_generated(std::string name, StepKind kind) {
  return name.empty() ? generated_name(kind) : std::move(name);
}

// Whether no input name of the mapping repeats (a later one would replace
// the earlier one's value).
bool has_distinct_names(const InputMap& input_map) {
  for (std::size_t i = 0; i < input_map.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (input_map[i].first == input_map[j].first) return false;
    }
  }
  return true;
}

// `distinct`: `has_distinct_names(input_map)`, known when the step was built,
// so that each input is appended without a search for an earlier one.
Dict gather_inputs(const InputMap& input_map, bool distinct, const PipelineState& state, const Dict& context) {
  Dict inputs;
  inputs.reserve(input_map.size());
  if (distinct) {
    for (const auto& [input, key] : input_map) inputs.append(input, lookup_key(state, context, key));
  } else {
    for (const auto& [input, key] : input_map) inputs.set(input, lookup_key(state, context, key));
  }
  return inputs;
}

void store_outputs(const OutputState& output, Value result, PipelineState& state, std::string_view step_name) {
  if (output.empty()) return;
  if (output.single()) {
    state.set(output.keys().front(), std::move(result));
    return;
  }
  const auto& keys = output.keys();
  if (!result.is_list() || result.as_list().size() != keys.size()) {
    throw vorn_core::InvalidValueError("Step '" + std::string(step_name) + "' must return " + std::to_string(keys.size()) +
                                " values for its output keys, got " + result.repr() +
                                ". Return one value per output key and retry.");
  }
  List& items = result.as_list();
  for (std::size_t i = 0; i < keys.size(); ++i) state.set(keys[i], std::move(items[i]));
}

std::vector<StepInfo> infos(const std::vector<StepPtr>& steps) {
  std::vector<StepInfo> out;
  out.reserve(steps.size());
  for (const auto& s : steps) out.push_back(s->info());
  return out;
}

// Runs nested steps in order. Their errors went through their own handlers;
// they leave the enclosing step as `NestedStepFailure` so that it does not
// handle them again.
Task<void> run_steps(const std::vector<StepPtr>& steps, PipelineState& state, const Dict& context) {
  for (const auto& s : steps) {
    try {
      co_await detail::StepAwaiter(*s, state, context);
    } catch (...) {
      throw detail::NestedStepFailure{std::current_exception()};
    }
  }
}

[[noreturn]] void missing_component(std::string_view step_name) {
  throw vorn_core::InvalidValueError("Step '" + std::string(step_name) +
                              "' has no component to call. Pass a component to the step and retry.");
}

// ---- step ------------------------------------------------------------------

class ComponentStep final : public Step {
 public:
  ComponentStep(vorn_core::ComponentPtr component, StepOptions o)
      : Step(name_or_generated(std::move(o.name), StepKind::kComponent), std::move(o.error_handler)),
        component_(std::move(component)),
        input_map_(std::move(o.input_map)),
        distinct_inputs_(has_distinct_names(input_map_)),
        output_state_(std::move(o.output_state)) {}

  StepKind kind() const noexcept override { return StepKind::kComponent; }
  std::vector<std::string> output_keys() const override {
    if (output_state_.empty()) return {};
    return {output_state_};
  }

 protected:
  // The component's task is what the runner awaits: no frame of the step's own.
  Started start(PipelineState& state, const Dict& context) const override {
    if (!component_) missing_component(name());
    return component_->run(gather_inputs(input_map_, distinct_inputs_, state, context));
  }
  void finish(Value result, PipelineState& state, const Dict&) const override {
    if (!output_state_.empty()) state.set(output_state_, std::move(result));
  }

 private:
  vorn_core::ComponentPtr component_;
  InputMap input_map_;
  bool distinct_inputs_;
  std::string output_state_;
};

// ---- transform ----------------------------------------------------------------

class StateOperatorStep final : public Step {
 public:
  explicit StateOperatorStep(TransformOptions o)
      : Step(name_or_generated(std::move(o.name), StepKind::kTransform), std::move(o.error_handler)),
        operation_(std::move(o.operation)),
        output_state_(std::move(o.output_state)) {
    if (!o.input_map.empty() && !o.input_states.empty()) {
      throw vorn_core::InvalidValueError("Pass either `input_map` or `input_states` to transform, not both, and retry.");
    }
    input_map_ = std::move(o.input_map);
    for (auto& key : o.input_states) input_map_.emplace_back(key, key);
    distinct_inputs_ = has_distinct_names(input_map_);
  }

  StepKind kind() const noexcept override { return StepKind::kTransform; }
  std::vector<std::string> output_keys() const override { return output_state_.keys(); }

 protected:
  // Most operations answer a plain value: the step is then done inline, with
  // no coroutine frame; an awaitable answer is what the runner awaits.
  Started start(PipelineState& state, const Dict& context) const override {
    if (!operation_) missing_component(name());
    vorn_core::CallResult answer = operation_(gather_inputs(input_map_, distinct_inputs_, state, context));
    if (answer.is_awaitable()) return std::move(answer.task());
    store_outputs(output_state_, std::move(answer.value()), state, name());
    return {};
  }
  void finish(Value result, PipelineState& state, const Dict&) const override {
    store_outputs(output_state_, std::move(result), state, name());
  }

 private:
  Operation operation_;
  InputMap input_map_;
  bool distinct_inputs_ = true;
  OutputState output_state_;
};

// ---- subgraph -----------------------------------------------------------------

class SubgraphStep final : public Step {
 public:
  explicit SubgraphStep(SubgraphOptions o)
      : Step(name_or_generated(std::move(o.name), StepKind::kSubgraph), std::move(o.error_handler)),
        subgraph_(std::move(o.subgraph)),
        output_state_map_(std::move(o.output_state_map)) {}

  StepKind kind() const noexcept override { return StepKind::kSubgraph; }
  // With an output map the keys it copies back; without, the nested steps
  // report their own.
  std::vector<std::string> output_keys() const override {
    std::vector<std::string> keys;
    if (output_state_map_)
      for (const auto& [inner, outer] : *output_state_map_) keys.push_back(outer);
    return keys;
  }
  StepInfo info() const override {
    StepInfo i = Step::info();
    if (subgraph_) i.children.emplace_back("subgraph", subgraph_->describe());
    return i;
  }

 protected:
  // Not a coroutine itself: its checks run inside `execute` (so they are
  // handled as the step's own errors), then it hands back the run.
  Task<void> run(PipelineState& state, const Dict& context) const override {
    if (!subgraph_) missing_component(name());
    // Every key comes back and steps only add or replace keys, so running
    // over the outer state itself ends exactly where running over a copy and
    // copying every key back would, without copying the state twice. (A
    // failure fails the whole run, so a partly updated state is never read;
    // only a direct caller of `execute` could see one.)
    if (!output_state_map_) return detail::run_nested(*subgraph_, state, context);
    return run_mapped(state, context);
  }

 private:
  // With an output map: a copy of the state in, the mapped keys back.
  Task<void> run_mapped(PipelineState& state, const Dict& context) const {
    Dict result;
    try {
      result = co_await subgraph_->run_state(state, context);
    } catch (...) {
      throw detail::NestedStepFailure{std::current_exception()};
    }
    for (const auto& [inner, outer] : *output_state_map_) {
      if (Value* v = result.find(inner)) state.set(outer, std::move(*v));
    }
  }

  PipelinePtr subgraph_;
  std::optional<std::vector<std::pair<std::string, std::string>>> output_state_map_;
};

// ---- switch -------------------------------------------------------------------

class SwitchStep final : public Step {
 public:
  explicit SwitchStep(SwitchOptions o)
      : Step(name_or_generated(std::move(o.name), StepKind::kSwitch), std::move(o.error_handler)),
        condition_(std::move(o.condition)),
        branches_(std::move(o.branches)),
        default_(std::move(o.default_branch)) {}

  StepKind kind() const noexcept override { return StepKind::kSwitch; }
  StepInfo info() const override {
    StepInfo i = Step::info();
    for (const auto& [key, steps] : branches_) i.children.emplace_back(key, infos(steps));
    if (!default_.empty()) i.children.emplace_back("default", infos(default_));
    return i;
  }

 protected:
  // Not a coroutine: it only picks the branch (inside `execute`, so its
  // errors are handled as the step's own) and hands back the branch's run.
  Task<void> run(PipelineState& state, const Dict& context) const override {
    if (!condition_) missing_component(name());
    const std::string key = condition_(state);
    for (const auto& [branch_key, steps] : branches_) {
      if (branch_key == key) return run_steps(steps, state, context);
    }
    return run_steps(default_, state, context);
  }

 private:
  std::function<std::string(const PipelineState&)> condition_;
  std::vector<std::pair<std::string, std::vector<StepPtr>>> branches_;
  std::vector<StepPtr> default_;
};

// ---- map_reduce ---------------------------------------------------------------

class MapReduceStep final : public Step {
 public:
  explicit MapReduceStep(MapReduceOptions o)
      : Step(name_or_generated(std::move(o.name), StepKind::kMapReduce), std::move(o.error_handler)),
        output_state_(std::move(o.output_state)),
        map_func_(std::move(o.map_func)),
        reduce_func_(std::move(o.reduce_func)),
        input_map_(std::move(o.input_map)),
        map_over_(std::move(o.map_over)) {}

  StepKind kind() const noexcept override { return StepKind::kMapReduce; }
  std::vector<std::string> output_keys() const override { return output_state_.keys(); }

 protected:
  Task<void> run(PipelineState& state, const Dict& context) const override {
    Dict inputs = gather_inputs(input_map_, has_distinct_names(input_map_), state, context);
    // The iterated input: the named one, else the first whose value is a list.
    std::string key = map_over_;
    if (key.empty()) {
      for (const auto& [k, v] : inputs) {
        if (v.is_list()) {
          key = k;
          break;
        }
      }
    }
    List elements;
    if (key.empty()) {
      elements.emplace_back();  // no list input: one call with the inputs as they are
    } else {
      Value* v = inputs.find(key);
      if (!v || !v->is_list()) {
        throw vorn_core::InvalidTypeError("Step '" + name() + "' maps over `" + key + "`, which is not a list. Pass a list and retry.");
      }
      elements = std::move(v->as_list());
    }
    std::vector<Task<Value>> calls;
    calls.reserve(elements.size());
    for (auto& element : elements) {
      Dict per_element = inputs;
      if (!key.empty()) per_element.set(key, std::move(element));
      calls.push_back(call_one(std::move(per_element)));
    }
    List results = co_await vorn_core::when_all(std::move(calls));
    Value reduced = reduce_func_ ? reduce_func_(std::move(results)) : Value(std::move(results));
    store_outputs(output_state_, std::move(reduced), state, name());
  }

 private:
  Task<Value> call_one(Dict inputs) const {
    if (const auto* component = std::get_if<vorn_core::ComponentPtr>(&map_func_)) {
      if (!*component) missing_component(name());
      co_return co_await (*component)->run(std::move(inputs));
    }
    const Operation& op = std::get<Operation>(map_func_);
    if (!op) missing_component(name());
    vorn_core::CallResult answer = op(std::move(inputs));
    if (answer.is_awaitable()) co_return co_await std::move(answer.task());
    co_return std::move(answer.value());
  }

  OutputState output_state_;
  std::variant<vorn_core::ComponentPtr, Operation> map_func_;
  std::function<Value(List)> reduce_func_;
  InputMap input_map_;
  std::string map_over_;
};

// ---- while_do -----------------------------------------------------------------

class WhileDoStep final : public Step {
 public:
  explicit WhileDoStep(WhileDoOptions o)
      : Step(name_or_generated(std::move(o.name), StepKind::kWhileDo), std::move(o.error_handler)),
        body_(std::move(o.body)),
        condition_(std::move(o.condition)) {}

  StepKind kind() const noexcept override { return StepKind::kWhileDo; }
  StepInfo info() const override {
    StepInfo i = Step::info();
    i.children.emplace_back("body", infos(body_));
    return i;
  }

 protected:
  Task<void> run(PipelineState& state, const Dict& context) const override {
    if (!condition_) missing_component(name());
    // The body runs inline (not through `run_steps`), and each body step in
    // this frame: a step that does not suspend costs no frame at all.
    while (condition_(state)) {
      for (const auto& s : body_) {
        try {
          co_await detail::StepAwaiter(*s, state, context);
        } catch (...) {
          throw detail::NestedStepFailure{std::current_exception()};
        }
      }
    }
  }

 private:
  std::vector<StepPtr> body_;
  std::function<bool(const PipelineState&)> condition_;
};

}  // namespace

Operation::Operation(vorn_core::CallablePtr callable) {
  if (!callable) return;
  fn_ = [callable = std::move(callable)](Dict data) { return callable->call(List{Value(std::move(data))}, Dict{}); };
}

StepPtr step(vorn_core::ComponentPtr component, StepOptions options) {
  return std::make_shared<ComponentStep>(std::move(component), std::move(options));
}
StepPtr transform(TransformOptions options) { return std::make_shared<StateOperatorStep>(std::move(options)); }
StepPtr subgraph(SubgraphOptions options) { return std::make_shared<SubgraphStep>(std::move(options)); }
StepPtr switch_(SwitchOptions options) { return std::make_shared<SwitchStep>(std::move(options)); }
StepPtr map_reduce(MapReduceOptions options) { return std::make_shared<MapReduceStep>(std::move(options)); }
StepPtr while_do(WhileDoOptions options) { return std::make_shared<WhileDoStep>(std::move(options)); }

}  // namespace vorn_pipeline
