// A runnable pipeline: steps in order over one state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vorn_core/object.hpp"
#include "vorn_core/record.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_pipeline/step.hpp"
#include "vorn_pipeline/steps.hpp"

namespace vorn_pipeline {

class Tool;

class Pipeline : public vorn_core::Object {
 public:
  explicit Pipeline(std::vector<StepPtr> steps = {}, vorn_core::SchemaPtr state_type = nullptr);

  const std::vector<StepPtr>& steps() const noexcept { return steps_; }
  // Steps in order with their kinds and nested steps.
  std::vector<StepInfo> describe() const;

  // The record schema whose fields make up the state (defaults, types).
  const vorn_core::SchemaPtr& state_type() const noexcept { return state_type_; }
  // The same steps over another state type, as a new pipeline: a pipeline
  // never changes once made, so runs on several threads may share it.
  PipelinePtr with_state_type(vorn_core::SchemaPtr state_type) const;

  // The run context entry that traces a run: a `vorn_core::Trace` under this
  // key records every step of the run (and of its subgraphs) into it.
  static constexpr std::string_view kTraceKey = "trace";

  // Runs the steps over `initial_state` (a record, a mapping, or absent) and
  // returns the final state. Defaults of `state_type` fill what the initial
  // state lacks; a mapping's fields are validated against their types. Keys
  // that no state field holds are read from `context`. The returned task
  // keeps the pipeline alive until the run ends. The pipeline must be owned
  // by a shared_ptr.
  vorn_core::Task<vorn_core::Dict> invoke(vorn_core::Value initial_state, vorn_core::Dict context = {}) const;

  // Runs over an already prepared state without validation (subgraphs, and
  // strategies, which validate their state themselves); the defaults of
  // state fields the state lacks are added first.
  vorn_core::Task<vorn_core::Dict> run_state(PipelineState state, vorn_core::Dict context) const;

  std::shared_ptr<Tool> as_tool(std::string name = {}, std::string description = {}) const;

  std::string type_name() const override { return "Pipeline"; }
  std::string repr() const override;

 private:
  PipelineState prepare(const vorn_core::Value& initial_state) const;
  static vorn_core::Task<vorn_core::Dict> invoke_owned(std::shared_ptr<const Pipeline> self,
                                                       vorn_core::Value initial_state, vorn_core::Dict context);
  static vorn_core::Task<vorn_core::Dict> run_state_owned(std::shared_ptr<const Pipeline> self,
                                                          PipelineState state, vorn_core::Dict context);

  std::vector<StepPtr> steps_;
  vorn_core::SchemaPtr state_type_;
};

namespace detail {
// For subgraph steps that hand every key back: runs `pipeline` over the
// caller's `state` in place (missing defaults first, as `run_state` adds
// them), so the state is not copied going in or coming out. Step errors,
// already handled by the steps, leave as `NestedStepFailure`. The caller
// keeps everything alive until the task finishes.
vorn_core::Task<void> run_nested(const Pipeline& pipeline, PipelineState& state, const vorn_core::Dict& context);
}  // namespace detail

// Sequencing: a new pipeline holding the left side's steps, then the right's.
PipelinePtr operator|(const StepPtr& a, const StepPtr& b);
PipelinePtr operator|(const PipelinePtr& a, const StepPtr& b);
PipelinePtr operator|(const PipelinePtr& a, const PipelinePtr& b);

// A pipeline offered as a tool: a name, a description and a call that runs
// the pipeline with the tool's arguments as the initial state.
class Tool : public vorn_core::Object {
 public:
  Tool(std::string name, std::string description, std::shared_ptr<const Pipeline> pipeline)
      : name_(std::move(name)), description_(std::move(description)), pipeline_(std::move(pipeline)) {}

  const std::string& name() const noexcept { return name_; }
  const std::string& description() const noexcept { return description_; }
  const std::shared_ptr<const Pipeline>& pipeline() const noexcept { return pipeline_; }

  vorn_core::Task<vorn_core::Dict> arun(vorn_core::Dict arguments, vorn_core::Dict context = {}) const;
  vorn_core::Dict run(vorn_core::Dict arguments, vorn_core::Dict context = {}) const;

  std::string type_name() const override { return "Tool"; }
  std::string repr() const override;

 private:
  std::string name_;
  std::string description_;
  std::shared_ptr<const Pipeline> pipeline_;
};

}  // namespace vorn_pipeline
