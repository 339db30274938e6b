#include "vorn_pipeline/error_handler.hpp"

namespace vorn_pipeline {

PipelineRuntimeError::PipelineRuntimeError(std::string step_name, std::string message, std::exception_ptr cause)
    : vorn_core::BaseError(message, std::nullopt), vorn_core::RuntimeError(message), step_name_(std::move(step_name)) {
  set_cause(std::move(cause));
}

std::optional<vorn_core::Dict> RaiseStepErrorHandler::_handle(std::exception_ptr error, PipelineState&,
                                                              const Runtime&, const ErrorContext& context) {
  std::string message = "Step '" + context.step_name + "' failed with " + vorn_core::exception_type_name(error) +
                        ": " + vorn_core::exception_message(error);
  throw PipelineRuntimeError(context.step_name, std::move(message), std::move(error));
}

const ErrorHandlerPtr& default_error_handler() {
  static const ErrorHandlerPtr handler = std::make_shared<RaiseStepErrorHandler>();
  return handler;
}

}  // namespace vorn_pipeline
