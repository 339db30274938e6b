#include "vorn_rag/core/uses.hpp"

namespace vorn_rag::core {

std::shared_ptr<_UsesSentinel> uses(std::optional<std::string> description) {
  return std::make_shared<_UsesSentinel>(std::move(description));
}

}  // namespace vorn_rag::core
