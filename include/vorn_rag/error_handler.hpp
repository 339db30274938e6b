// The step error handler the library puts on its own steps that raise typed
// errors: errors of the family (`vorn_core::BaseError`, which includes every
// `BaseRAGError`) leave the step unchanged; anything else, the coded host
// kinds (`vorn_core::HostKindError`) included, takes the default wrapping
// into `PipelineRuntimeError`.
#pragma once

#include "vorn_pipeline/error_handler.hpp"

namespace vorn_rag::error_handler {

class PassThroughBaseErrorHandler : public vorn_pipeline::RaiseStepErrorHandler {
 protected:
  std::optional<vorn_core::Dict> _handle(std::exception_ptr error, vorn_pipeline::PipelineState& state,
                                         const vorn_pipeline::Runtime& runtime,
                                         const vorn_pipeline::ErrorContext& context) override;
};

}  // namespace vorn_rag::error_handler
