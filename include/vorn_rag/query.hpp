// `query()`: answer a question from a data store and a language model in
// one call, without a strategy.
#pragma once

#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"

namespace vorn_rag {

// Internals of the query module.
namespace detail {
// "Context: {context}\n\nQuestion: {query}\n\nAnswer:"
extern const char* const _USER_TEMPLATE;

// Checks, in order: question (a non-blank string), top_k (a positive
// integer), datastore (a `BaseDataStore`), its vector capability, lm_invoker
// (a `BaseLMInvoker`). Raises `RAGValueError` / `RAGTypeError`.
void _validate_query_inputs(const vorn_core::Value& question, const vorn_core::Value& datastore,
                            const vorn_core::Value& lm_invoker, const vorn_core::Value& top_k);
}  // namespace detail

// Retrieves `top_k` chunks through the store's vector capability and has the
// model answer from them ("stuff" synthesis with `_USER_TEMPLATE`). Returns
// exactly {"response": text ("" when absent), "chunks": list of Chunk}.
vorn_core::Task<vorn_core::Dict> query(vorn_core::Value question, vorn_core::Value datastore,
                                       vorn_core::Value lm_invoker, vorn_core::Value top_k = 5);

}  // namespace vorn_rag
