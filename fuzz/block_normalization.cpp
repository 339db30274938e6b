// The blocks' normalisation of component output: a decomposer's sub-queries,
// a retriever's chunks, a selector's selection and an evaluator's verdict.
// Whatever a component answers, the block either takes it or refuses it
// with `RAGValueError` (with the validation failure as its cause), never
// another error and never a crash.
#include <cstddef>
#include <cstdint>

#include "agentic_operations.hpp"
#include "value_from_bytes.hpp"
#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"
#include "vorn_rag/blocks/retrieval/types.hpp"
#include "vorn_rag/blocks/routing/multi_query_routing_pipeline.hpp"
#include "vorn_rag/exceptions.hpp"

namespace {

using vorn_core::Value;
namespace agentic = vorn_rag::blocks::retrieval::agentic_retrieval_pipeline;
using vorn_rag::blocks::routing::MultiQueryRoutingPipeline;

void normalize_sub_queries(const Value& v) {
  // The list length, read before a one-shot sequence is consumed.
  const bool is_list = v.is_list();
  const std::size_t items = is_list ? v.as_list().size() : 0;
  try {
    auto sub_queries = MultiQueryRoutingPipeline::_normalize_sub_queries(v);
    if (is_list && sub_queries.size() != items) vorn_fuzz::violated("sub-queries were dropped or invented");
  } catch (const vorn_rag::RAGValueError&) {
  }
}

void normalize_selection(const Value& v) {
  try {
    auto selection = agentic::_normalize_selection(v);
    for (const auto& chunk : selection.selected_chunks) {
      if (!chunk) vorn_fuzz::violated("a selection holds an absent chunk");
    }
  } catch (const vorn_rag::RAGValueError& e) {
    if (!e.debug_info() || !e.cause()) vorn_fuzz::violated("a refused selection lost its cause");
  }
}

void normalize_evaluation(const Value& v) {
  try {
    (void)agentic::_normalize_evaluation(v);
  } catch (const vorn_rag::RAGValueError& e) {
    if (!e.debug_info() || !e.cause()) vorn_fuzz::violated("a refused evaluation lost its cause");
  }
}

void normalize_retrieved(const Value& v) {
  try {
    auto chunks = agentic::_normalize_retrieved_chunks(v);
    if (!v.is_list() || chunks.size() != v.as_list().size()) vorn_fuzz::violated("retrieved chunks changed count");
  } catch (const vorn_rag::RAGValueError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorn_fuzz::ByteReader in(data, size);
  const std::uint8_t which = in.byte() % 4;
  vorn_fuzz::ValueDecoder decoder(in);
  decoder.schemas = {vorn_rag::blocks::retrieval::detail::SelectionResult::schema(),
                     vorn_rag::blocks::retrieval::detail::EvaluationResult::schema()};
  const Value payload = decoder.value();
  switch (which) {
    case 0: normalize_sub_queries(payload); break;
    case 1: normalize_selection(payload); break;
    case 2: normalize_evaluation(payload); break;
    default: normalize_retrieved(payload); break;
  }
  return 0;
}
