#include "vorn_rag/blocks/routing/types.hpp"

#include <memory>

namespace vorn_rag::blocks::routing::detail {

using vorn_core::Dict;
using vorn_core::Field;
using vorn_core::List;
using vorn_core::Record;
using vorn_core::Schema;
using vorn_core::SchemaPtr;
using vorn_core::TypeSpec;
using vorn_core::Value;


const SchemaPtr& SubQueryRoute::schema() {
  static const SchemaPtr schema =
      Schema::create("SubQueryRoute", {Field::required("sub_query", TypeSpec::string(), "The sub-query that was routed."),
                                       Field::required("route", TypeSpec::string(),
                                                       "The route name that the router assigned to it.")});
  return schema;
}

SubQueryRoute SubQueryRoute::from_value(const Value& payload) {
  Dict f = schema()->validated_values(payload);
  return SubQueryRoute{f.at("sub_query").as_string(), f.at("route").as_string()};
}

Value SubQueryRoute::to_value() const {
  Dict values;
  values.set("sub_query", sub_query);
  values.set("route", route);
  return std::make_shared<Record>(schema(), std::move(values));
}

const SchemaPtr& MultiQueryRoutingState::schema() {
  static const SchemaPtr schema = Schema::create(
      "MultiQueryRoutingState",
      {
          Field::required("query", TypeSpec::string(), "The original user query."),
          Field::with_default("sub_queries", TypeSpec::list_of(TypeSpec::string()), List{},
                              "The decomposed sub-queries after the cap is applied."),
          Field::with_default("routing_plan", TypeSpec::list_of(TypeSpec::record(SubQueryRoute::schema())), List{},
                              "The final routing assignments."),
      });
  return schema;
}

MultiQueryRoutingState MultiQueryRoutingState::from_value(const Value& payload) {
  Dict f = schema()->validated_values(payload);
  MultiQueryRoutingState s;
  s.query = f.at("query").as_string();
  for (const auto& q : f.at("sub_queries").as_list()) s.sub_queries.push_back(q.as_string());
  for (const auto& r : f.at("routing_plan").as_list()) s.routing_plan.push_back(SubQueryRoute::from_value(r));
  return s;
}

Value MultiQueryRoutingState::to_value() const {
  List queries(sub_queries.begin(), sub_queries.end());
  List plan;
  plan.reserve(routing_plan.size());
  for (const auto& r : routing_plan) plan.push_back(r.to_value());
  Dict values;
  values.set("query", query);
  values.set("sub_queries", std::move(queries));
  values.set("routing_plan", std::move(plan));
  return std::make_shared<Record>(schema(), std::move(values));
}

}  // namespace vorn_rag::blocks::routing::detail
