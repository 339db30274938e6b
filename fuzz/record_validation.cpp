// Record validation on arbitrary values: every schema the library validates
// component output and pipeline state against must either accept a value or
// refuse it with `ValidationError`, and what it accepts must validate again
// unchanged (a record passes as is).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "value_from_bytes.hpp"
#include "vorn_core/json.hpp"
#include "vorn_rag/blocks/retrieval/types.hpp"
#include "vorn_rag/blocks/routing/types.hpp"
#include "vorn_rag/blocks/retrieval/query_expansion.hpp"
#include "vorn_rag/core/state.hpp"

namespace {

using vorn_core::SchemaPtr;
using vorn_core::Value;

const std::vector<SchemaPtr>& schemas() {
  namespace retrieval = vorn_rag::blocks::retrieval;
  namespace routing = vorn_rag::blocks::routing;
  static const std::vector<SchemaPtr> all = {
      retrieval::detail::SelectionResult::schema(),
      retrieval::detail::EvaluationResult::schema(),
      retrieval::detail::AgenticRetrievalState::schema(),
      routing::detail::SubQueryRoute::schema(),
      routing::detail::MultiQueryRoutingState::schema(),
      vorn_rag::core::StrategyState::schema(),
      retrieval::query_expansion::_QueryExpansionState::schema(),
  };
  return all;
}

// The records with a typed C++ twin come first in `schemas()`.
constexpr std::size_t kTypedTwins = 5;

// The typed twins: the same contract as the schema they wrap.
void typed_from_value(std::size_t which, const Value& v) {
  namespace retrieval = vorn_rag::blocks::retrieval::detail;
  namespace routing = vorn_rag::blocks::routing::detail;
  switch (which) {
    case 0: (void)retrieval::SelectionResult::from_value(v).to_value(); break;
    case 1: (void)retrieval::EvaluationResult::from_value(v).to_value(); break;
    case 2: (void)retrieval::AgenticRetrievalState::from_value(v).to_value(); break;
    case 3: (void)routing::SubQueryRoute::from_value(v).to_value(); break;
    case 4: (void)routing::MultiQueryRoutingState::from_value(v).to_value(); break;
    default: break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorn_fuzz::ByteReader in(data, size);
  const std::size_t which = in.byte() % schemas().size();
  vorn_fuzz::ValueDecoder decoder(in);
  decoder.schemas = schemas();
  const Value payload = decoder.value();
  const SchemaPtr& schema = schemas()[which];

  // The text forms and the JSON conversion take any value.
  (void)payload.str();
  (void)payload.repr();
  (void)vorn_core::to_json(payload);

  Value accepted;
  try {
    accepted = schema->validate(payload);
  } catch (const vorn_core::ValidationError&) {
    if (which >= kTypedTwins) return 0;
    try {
      typed_from_value(which, payload);
    } catch (const vorn_core::ValidationError&) {
      return 0;
    }
    vorn_fuzz::violated("a typed record accepted what its schema refused");
  }
  if (!accepted.is<vorn_core::Record>()) vorn_fuzz::violated("validation answered something other than a record");
  // A record passes unchanged, and its field mapping validates too.
  if (!(schema->validate(accepted) == accepted)) vorn_fuzz::violated("a validated record did not pass unchanged");
  (void)schema->validate(Value(accepted.as<vorn_core::Record>()->values()));
  typed_from_value(which, accepted);
  (void)accepted.str();
  return 0;
}
