// How a step that calls back into its strategy refers to it.
#pragma once

#include <memory>

#include "vorn_core/error.hpp"
#include "vorn_core/object.hpp"

namespace vorn_rag::core::detail {

// A step that calls back into the strategy that built it (a virtual hook, a
// live slot or registration) must not keep the strategy alive: the pipeline
// is cached inside the strategy, so a strong reference would be a cycle that
// never frees either. A pipeline handed out by `build()` may also outlive its
// strategy. So the step holds the strategy weakly when it is shared-owned,
// and reports a clear error once it is gone instead of touching freed memory.
template <class S>
class StrategyRef {
 public:
  explicit StrategyRef(S& strategy) : raw_(&strategy), weak_(strategy.weak_from_this()), shared_(!weak_.expired()) {}

  // The strategy, kept alive by `pin` for as long as the caller holds it.
  S& get(std::shared_ptr<vorn_core::Object>& pin) const {
    if (shared_) {
      pin = weak_.lock();
      if (!pin) {
        throw vorn_core::OperationError(
            "The strategy that built this pipeline no longer exists. Keep the strategy alive while its pipeline "
            "runs, then retry.");
      }
    }
    return *raw_;
  }

 private:
  S* raw_;
  std::weak_ptr<vorn_core::Object> weak_;
  bool shared_;
};

}  // namespace vorn_rag::core::detail
