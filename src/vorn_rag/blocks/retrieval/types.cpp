#include "vorn_rag/blocks/retrieval/types.hpp"

#include <memory>

namespace vorn_rag::blocks::retrieval::detail {

using vorn_core::Dict;
using vorn_core::Field;
using vorn_core::List;
using vorn_core::Record;
using vorn_core::Schema;
using vorn_core::SchemaPtr;
using vorn_core::TypeSpec;
using vorn_core::Value;

namespace {

TypeSpec chunk_list() { return TypeSpec::list_of(TypeSpec::chunk()); }

}  // namespace

// ---- SelectionResult -----------------------------------------------------------

const SchemaPtr& SelectionResult::schema() {
  static const SchemaPtr schema = Schema::create(
      "SelectionResult", {Field::required("selected_chunks", chunk_list(), "Final chunks chosen by the selector stage.")});
  return schema;
}

SelectionResult SelectionResult::from_value(const Value& payload) {
  Dict fields = schema()->validated_values(payload);
  return SelectionResult{vorn_core::to_chunk_list(fields.at("selected_chunks"))};
}

Value SelectionResult::to_value() const {
  Dict values;
  values.set("selected_chunks", vorn_core::to_value(selected_chunks));
  return std::make_shared<Record>(schema(), std::move(values));
}

// ---- EvaluationResult ----------------------------------------------------------

const SchemaPtr& EvaluationResult::schema() {
  static const SchemaPtr schema = Schema::create(
      "EvaluationResult",
      {Field::required("is_sufficient", TypeSpec::boolean(), "Whether the currently selected evidence is sufficient.")});
  return schema;
}

EvaluationResult EvaluationResult::from_value(const Value& payload) {
  // The loop reads its own evaluation record several times a round: a record
  // whose field already holds a boolean needs no conversion, so it is read
  // directly; anything else takes the full validation below.
  if (const Record* record = payload.get_if<Record>(); record && record->schema()->is_same_or_derived_from(*schema())) {
    if (const Value* v = record->values().find("is_sufficient"); v && v->is_bool()) return EvaluationResult{v->as_bool()};
  }
  // So is a stage's plain mapping answer (other keys are no field, and ignored).
  if (payload.is_dict()) {
    if (const Value* v = payload.as_dict().find("is_sufficient"); v && v->is_bool()) return EvaluationResult{v->as_bool()};
  }
  Dict fields = schema()->validated_values(payload);
  return EvaluationResult{fields.at("is_sufficient").as_bool()};
}

Value EvaluationResult::to_value() const {
  Dict values;
  values.set("is_sufficient", is_sufficient);
  return std::make_shared<Record>(schema(), std::move(values));
}

// ---- AgenticRetrievalState -----------------------------------------------------

const SchemaPtr& AgenticRetrievalState::schema() {
  static const SchemaPtr schema = Schema::create(
      "AgenticRetrievalState",
      {
          Field::required("query", TypeSpec::string(), "Retrieval query as given by the caller."),
          Field::with_default("initial_top_k", TypeSpec::integer(), 0,
                              "Initial retrieval candidate size; also the growth step of each retry."),
          Field::with_default("top_k", TypeSpec::integer(), 0, "Candidate size for the active round."),
          Field::with_default("max_rounds", TypeSpec::integer(), 0, "Maximum number of retrieval rounds."),
          Field::with_default("selected_chunk_limit", TypeSpec::integer(), 0,
                              "Maximum selected chunk count, handed to the selector."),
          Field::with_default("round_idx", TypeSpec::integer(), 0,
                              "Current retry round index (number of insufficient rounds completed)."),
          Field::with_default("candidate_chunks", chunk_list(), List{},
                              "Raw chunks returned by the retriever in the last round."),
          Field::with_default("selected_chunks", chunk_list(), List{},
                              "Chunks selected in the last round; after the final step, the block's result."),
          Field::with_factory(
              "evaluation", TypeSpec::record(EvaluationResult::schema()),
              [] { return EvaluationResult{}.to_value(); }, "Evaluation of the last round."),
      });
  return schema;
}

AgenticRetrievalState AgenticRetrievalState::from_value(const Value& payload) {
  Dict f = schema()->validated_values(payload);
  AgenticRetrievalState s;
  s.query = f.at("query").as_string();
  s.initial_top_k = f.at("initial_top_k").as_int();
  s.top_k = f.at("top_k").as_int();
  s.max_rounds = f.at("max_rounds").as_int();
  s.selected_chunk_limit = f.at("selected_chunk_limit").as_int();
  s.round_idx = f.at("round_idx").as_int();
  s.candidate_chunks = vorn_core::to_chunk_list(f.at("candidate_chunks"));
  s.selected_chunks = vorn_core::to_chunk_list(f.at("selected_chunks"));
  s.evaluation = EvaluationResult::from_value(f.at("evaluation"));
  return s;
}

Value AgenticRetrievalState::to_value() const {
  Dict values;
  values.set("query", query);
  values.set("initial_top_k", initial_top_k);
  values.set("top_k", top_k);
  values.set("max_rounds", max_rounds);
  values.set("selected_chunk_limit", selected_chunk_limit);
  values.set("round_idx", round_idx);
  values.set("candidate_chunks", vorn_core::to_value(candidate_chunks));
  values.set("selected_chunks", vorn_core::to_value(selected_chunks));
  values.set("evaluation", evaluation.to_value());
  return std::make_shared<Record>(schema(), std::move(values));
}

}  // namespace vorn_rag::blocks::retrieval::detail
