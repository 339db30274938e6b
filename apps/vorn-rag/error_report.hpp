// How the command line names a failure it prints: `error [CODE]: message`.
#pragma once

#include <string>

#include "vorn_core/error.hpp"

namespace vorn_cli {

struct ErrorReport {
  std::string code;
  std::string message;
};

// A step failure that the pipeline's default handling wrapped is reported
// by what failed inside it: the component's own code with the step's name
// beside it ("VORN-INFERENCE-TIMEOUT (in step retrieve)"), and the
// component's message. A failure whose cause has no code of its own (not a
// typed error) keeps the wrapper's code and message, which name the step.
// Every other error is reported as it is.
ErrorReport error_report(const vorn_core::BaseError& error);

}  // namespace vorn_cli
