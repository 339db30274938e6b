#include "error_report.hpp"

#include "vorn_pipeline/error_handler.hpp"

namespace vorn_cli {
namespace {

// The typed error `error` holds, or null. It lives as long as `error` does:
// a cause is held by the error it caused, so by the error being reported.
const vorn_core::BaseError* typed(const std::exception_ptr& error) {
  if (!error) return nullptr;
  try {
    std::rethrow_exception(error);
  } catch (const vorn_core::BaseError& e) {
    return &e;
  } catch (...) {
  }
  return nullptr;
}

}  // namespace

ErrorReport error_report(const vorn_core::BaseError& error) {
  const vorn_core::BaseError* reported = &error;
  std::string step;
  // A step may run a pipeline of its own (a pipeline stage): the innermost
  // step is where the component failed. The bound only guards a cycle.
  for (int depth = 0; depth < 32; ++depth) {
    const auto* wrapper = dynamic_cast<const vorn_pipeline::PipelineRuntimeError*>(reported);
    if (!wrapper) break;
    const vorn_core::BaseError* cause = typed(wrapper->cause());
    if (!cause || cause->code().empty()) break;
    step = wrapper->step_name();
    reported = cause;
  }
  if (step.empty()) return {std::string(reported->code()), reported->message()};
  return {std::string(reported->code()) + " (in step " + step + ")", reported->message()};
}

}  // namespace vorn_cli
