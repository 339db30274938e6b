#include "vorn_core/callable.hpp"

namespace vorn_core {

// Not a coroutine: an awaitable is handed back as it is, so only a plain
// value costs a (small) frame.
Task<Value> resolve(CallResult result) {
  if (result.is_awaitable()) return std::move(result.task());
  return ready_task(std::move(result.value()));
}

}  // namespace vorn_core
