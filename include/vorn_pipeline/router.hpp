// A router names a route for a query.
#pragma once

#include <string>

#include "vorn_core/callable.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"

namespace vorn_pipeline {

// Thread safety: instances are shared by concurrent runs; implementations must be safe for concurrent calls.
class BaseRouter : public vorn_core::Component {
 public:
  // The route name for `query` (normally a string).
  virtual vorn_core::Task<vorn_core::Value> route(std::string query) = 0;

  // Component form: the input "source" (or "query") is routed.
  vorn_core::Task<vorn_core::Value> run(vorn_core::Dict inputs) override;
};

}  // namespace vorn_pipeline
