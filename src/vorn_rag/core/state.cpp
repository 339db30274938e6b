#include "vorn_rag/core/state.hpp"

#include "vorn_pipeline/state.hpp"

namespace vorn_rag::core {

const vorn_core::SchemaPtr& StrategyState::schema() {
  using vorn_core::Field;
  using vorn_core::TypeSpec;
  static const vorn_core::SchemaPtr schema = vorn_core::Schema::create(
      "StrategyState",
      {
          Field::with_default("query_filter", TypeSpec::any(), vorn_core::Value(),
                              "Query filter for the retriever, supporting datastore filters"),
          Field::with_default("retrieval_decision", TypeSpec::optional(TypeSpec::string()), vorn_core::Value(),
                              "CRAG routing decision: 'relevant', 'irrelevant', or 'ambiguous'"),
          Field::with_default("filtered_chunks", TypeSpec::optional(TypeSpec::list_of(TypeSpec::chunk())),
                              vorn_core::Value(), "CRAG-internal chunks surviving relevance filter"),
          Field::with_default("routed_branch", TypeSpec::optional(TypeSpec::string()), vorn_core::Value(),
                              "RoutedStrategy-selected branch name"),
      },
      vorn_pipeline::RAGStateModel::schema());
  return schema;
}

vorn_core::RecordPtr StrategyState::make(const vorn_core::Dict& values) { return schema()->make(values); }

}  // namespace vorn_rag::core
