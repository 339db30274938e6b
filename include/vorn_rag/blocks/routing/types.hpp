// The records of the multi-query routing block: one route per sub-query, and
// the block's pipeline state. Validated records (`vorn_core::Schema`) with
// typed C++ twins.
#pragma once

#include <string>
#include <vector>

#include "vorn_core/record.hpp"
#include "vorn_core/value.hpp"

namespace vorn_rag::blocks::routing::detail {

// The route the router named for one sub-query.
struct SubQueryRoute {
  std::string sub_query;  // required
  std::string route;      // required

  static const vorn_core::SchemaPtr& schema();
  // Validates a record of this schema or a mapping of its fields; throws
  // `vorn_core::ValidationError` otherwise (a route that is not a string
  // included).
  static SubQueryRoute from_value(const vorn_core::Value& payload);
  vorn_core::Value to_value() const;

  friend bool operator==(const SubQueryRoute&, const SubQueryRoute&) = default;
};

// State of a built routing pipeline: query (required), sub_queries
// (list[str], []), routing_plan (list[SubQueryRoute], []).
struct MultiQueryRoutingState {
  std::string query;
  std::vector<std::string> sub_queries;
  std::vector<SubQueryRoute> routing_plan;

  static const vorn_core::SchemaPtr& schema();
  static MultiQueryRoutingState from_value(const vorn_core::Value& payload);
  vorn_core::Value to_value() const;
};

}  // namespace vorn_rag::blocks::routing::detail

// Both records are public names of the routing package.
namespace vorn_rag::blocks::routing {
using detail::MultiQueryRoutingState;
using detail::SubQueryRoute;
}  // namespace vorn_rag::blocks::routing
