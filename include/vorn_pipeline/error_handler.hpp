// Step error handling. Every step carries a handler; when the step's
// operation throws, the handler decides what the caller of the pipeline sees.
// The default `RaiseStepErrorHandler` wraps the error in a
// `PipelineRuntimeError` that names the step and keeps the original error as
// its cause. Subclasses override `_handle`.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "vorn_core/error.hpp"
#include "vorn_core/value.hpp"

namespace vorn_pipeline {

using PipelineState = vorn_core::Dict;

// What the framework knows about the failing step.
struct ErrorContext {
  std::string step_name;
  std::string step_kind;
};

// Runtime information about one step's execution.
struct Runtime {
  std::string step_name;
  const vorn_core::Dict* context = nullptr;  // the run context of `invoke`
};

// Raised by the default step error handling: "Step 'retrieve' failed: ...".
class PipelineRuntimeError : public vorn_core::BaseError, public vorn_core::RuntimeError {
 public:
  static constexpr std::string_view kCode = "VORN-PIPELINE-RUNTIME";
  static constexpr std::string_view kDefaultMessage =
      "A pipeline step failed. Check the step's component and inputs, then try again.";

  PipelineRuntimeError(std::string step_name, std::string message, std::exception_ptr cause);

  const std::string& step_name() const noexcept { return step_name_; }
  std::string_view code() const noexcept override { return kCode; }
  std::optional<std::string_view> default_message() const noexcept override { return kDefaultMessage; }
  std::string_view class_name() const noexcept override { return "PipelineRuntimeError"; }

 private:
  std::string step_name_;
};

class RaiseStepErrorHandler {
 public:
  virtual ~RaiseStepErrorHandler() = default;

  // Called by the framework with the error a step raised. A handler either
  // throws (the usual case) or returns state updates that replace the step's
  // output and let the run go on.
  std::optional<vorn_core::Dict> handle(std::exception_ptr error, PipelineState& state, const Runtime& runtime,
                                        const ErrorContext& context) {
    return _handle(std::move(error), state, runtime, context);
  }

 protected:
  // Default: throw `PipelineRuntimeError` naming the step, caused by `error`.
  virtual std::optional<vorn_core::Dict> _handle(std::exception_ptr error, PipelineState& state,
                                                 const Runtime& runtime, const ErrorContext& context);
};

using ErrorHandlerPtr = std::shared_ptr<RaiseStepErrorHandler>;

// The handler steps get when their factory is given none (shared, stateless).
const ErrorHandlerPtr& default_error_handler();

}  // namespace vorn_pipeline
