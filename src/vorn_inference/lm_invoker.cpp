#include "vorn_inference/lm_invoker.hpp"

namespace vorn_inference {

std::string LMOutput::repr() const {
  return "LMOutput(response=" + vorn_core::quote(response) + ", structured_output=" + structured_output.repr() + ")";
}

}  // namespace vorn_inference
