#include "vorn_rag/error_handler.hpp"

namespace vorn_rag::error_handler {

std::optional<vorn_core::Dict> PassThroughBaseErrorHandler::_handle(std::exception_ptr error,
                                                                    vorn_pipeline::PipelineState& state,
                                                                    const vorn_pipeline::Runtime& runtime,
                                                                    const vorn_pipeline::ErrorContext& context) {
  try {
    std::rethrow_exception(error);
  } catch (const vorn_core::HostKindError&) {
    // A coded host kind stands for the plain host kind, which gets wrapped.
  } catch (const vorn_core::BaseError&) {
    throw;  // the very same error object: type, message, code and debug info intact
  } catch (...) {
  }
  return RaiseStepErrorHandler::_handle(std::move(error), state, runtime, context);
}

}  // namespace vorn_rag::error_handler
