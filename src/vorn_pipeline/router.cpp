#include "vorn_pipeline/router.hpp"

#include "vorn_core/error.hpp"

namespace vorn_pipeline {

vorn_core::Task<vorn_core::Value> BaseRouter::run(vorn_core::Dict inputs) {
  vorn_core::Value source = inputs.pop("source");
  if (source.is_none()) source = inputs.pop("query");
  if (!source.is_string()) {
    throw vorn_core::InvalidTypeError("A router routes text: `source` must be a string, got " + source.type_name() +
                               ". Pass the query text and retry.");
  }
  co_return co_await route(std::move(source.as_string()));
}

}  // namespace vorn_pipeline
