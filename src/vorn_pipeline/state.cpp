#include "vorn_pipeline/state.hpp"

namespace vorn_pipeline {

const vorn_core::SchemaPtr& RAGStateModel::schema() {
  using vorn_core::Field;
  using vorn_core::TypeSpec;
  static const vorn_core::SchemaPtr schema = vorn_core::Schema::create(
      "RAGStateModel",
      {
          Field::with_default("user_query", TypeSpec::string(), "", "The user's question"),
          Field::with_default("queries", TypeSpec::list_of(TypeSpec::string()), vorn_core::List{},
                              "Queries derived from the user's question"),
          Field::with_default("retrieval_params", TypeSpec::dict_of(TypeSpec::any()), vorn_core::Dict{},
                              "Parameters for the retrieval step"),
          Field::with_default("chunks", TypeSpec::list_of(TypeSpec::chunk()), vorn_core::List{},
                              "Retrieved chunks"),
          Field::with_default("history", TypeSpec::list_of(TypeSpec::any()), vorn_core::List{},
                              "Conversation history"),
          Field::with_default("context", TypeSpec::string(), "", "Context text given to the model"),
          Field::with_default("response_synthesis_bundle", TypeSpec::dict_of(TypeSpec::any()), vorn_core::Dict{},
                              "Extra inputs for response synthesis"),
          Field::with_default("response", TypeSpec::any(), vorn_core::Value(), "The generated answer"),
          Field::with_default("references", TypeSpec::list_of(TypeSpec::any()), vorn_core::List{},
                              "References supporting the answer"),
          Field::with_default("event_emitter", TypeSpec::any(), vorn_core::Value(), "Optional event sink"),
      });
  return schema;
}

}  // namespace vorn_pipeline
