#include "vorn_core/callable.hpp"

namespace vorn_core {

Task<Value> resolve(CallResult result) {
  if (result.is_awaitable()) co_return co_await std::move(result.task());
  co_return std::move(result.value());
}

}  // namespace vorn_core
