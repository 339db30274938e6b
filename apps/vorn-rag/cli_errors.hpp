// Errors of the command line itself. A usage error exits with status 2, as
// option parsing errors do; every other error with 1.
#pragma once

#include "vorn_core/error.hpp"

namespace vorn_cli {

// The command was called wrongly: an empty question, option values that do
// not fit together.
VORN_DEFINE_ERROR(UsageError, ::vorn_core::BaseError, ::vorn_core::ValueError, "VORN-CLI-USAGE",
                  "The command was called with arguments it cannot use. Run it with --help.");

// There is no index to answer from: no file, an empty file, or no documents.
VORN_DEFINE_ERROR(NoIndexError, ::vorn_core::BaseError, ::vorn_core::RuntimeError, "VORN-CLI-NO-INDEX",
                  "There is no index yet. Run `vorn-rag index PATH...` first.");

}  // namespace vorn_cli
