#include "vorn_rag/blocks/retrieval/steps.hpp"

#include <utility>

#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/blocks/retrieval/utils.hpp"

namespace vorn_rag::blocks::retrieval {

vorn_pipeline::StepPtr fuse(const vorn_core::Value& fn, std::string input_state, std::string output_state,
                            std::optional<std::string> name) {
  vorn_core::CallablePtr fusion = utils::resolve_fusion_fn(fn);
  auto operation = [fusion, key = input_state](vorn_core::Dict data) {
    return utils::apply_fusion(*fusion, data.pop(key));
  };
  return vorn_pipeline::transform({
      .operation = std::move(operation),
      .input_states = {std::move(input_state)},
      .output_state = std::move(output_state),
      .name = name.value_or(std::string()),
  });
}

}  // namespace vorn_rag::blocks::retrieval
