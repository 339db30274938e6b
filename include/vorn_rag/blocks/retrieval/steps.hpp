// Retrieval pipeline steps built from the library's own operations.
#pragma once

#include <optional>
#include <string>

#include "vorn_core/value.hpp"
#include "vorn_pipeline/step.hpp"

namespace vorn_rag::blocks::retrieval {

// A state-operator step that fuses the list of chunk lists under
// `input_state` into one list under `output_state`. `fn` (a registered
// fusion name or a callable) is resolved here, so a bad selector fails while
// the pipeline is being built, never when it runs. Without a name the
// framework generates one.
vorn_pipeline::StepPtr fuse(const vorn_core::Value& fn, std::string input_state, std::string output_state,
                            std::optional<std::string> name = std::nullopt);

}  // namespace vorn_rag::blocks::retrieval
