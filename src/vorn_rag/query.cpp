#include "vorn_rag/query.hpp"

#include <cctype>

#include "vorn_datastore/data_store.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_generation/prompt_builder.hpp"
#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_inference/lm_invoker.hpp"
#include "vorn_rag/constants.hpp"
#include "vorn_rag/exceptions.hpp"
#include "vorn_retrieval/vector_retriever.hpp"

namespace vorn_rag {

namespace {
bool is_blank(const std::string& s) {
  for (unsigned char c : s)
    if (!std::isspace(c)) return false;
  return true;
}
}  // namespace

namespace detail {

const char* const _USER_TEMPLATE = "Context: {context}\n\nQuestion: {query}\n\nAnswer:";

void _validate_query_inputs(const vorn_core::Value& question, const vorn_core::Value& datastore,
                            const vorn_core::Value& lm_invoker, const vorn_core::Value& top_k) {
  if (!question.is_string() || is_blank(question.as_string())) {
    throw RAGValueError("Invalid `question`. Pass a non-empty string and retry.");
  }
  if (!top_k.is_int() || top_k.as_int() <= 0) {
    throw RAGValueError("Invalid `top_k`. Pass a positive integer and retry.");
  }
  auto* store = datastore.get_if<vorn_datastore::BaseDataStore>();
  if (!store) {
    throw RAGTypeError("Invalid `datastore` type. Pass a BaseDataStore from vorn-datastore and retry.");
  }
  auto capabilities = store->registered_capabilities();
  if (!capabilities.contains(vorn_datastore::CapabilityType::VECTOR)) {
    throw RAGValueError("The `datastore` has no vector capability. Register the vector capability (currently registered: " +
                        capabilities.str() + ") and retry.");
  }
  if (!lm_invoker.is<vorn_inference::BaseLMInvoker>()) {
    throw RAGTypeError("Invalid `lm_invoker` type. Pass a BaseLMInvoker from vorn-inference and retry.");
  }
}

}  // namespace detail

vorn_core::Task<vorn_core::Dict> query(vorn_core::Value question, vorn_core::Value datastore,
                                       vorn_core::Value lm_invoker, vorn_core::Value top_k) {
  detail::_validate_query_inputs(question, datastore, lm_invoker, top_k);
  auto retriever = std::make_shared<vorn_retrieval::VectorRetriever>(datastore.as<vorn_datastore::BaseDataStore>());
  vorn_retrieval::RetrieveOptions options;
  options.top_k = top_k.as_int();
  vorn_core::Value chunks = co_await retriever->retrieve(question, std::move(options));

  auto prompt_builder = std::make_shared<vorn_generation::PromptBuilder>("", detail::_USER_TEMPLATE);
  auto processor = std::make_shared<vorn_generation::LMRequestProcessor>(
      prompt_builder, lm_invoker.as<vorn_inference::BaseLMInvoker>());
  auto synthesizer = vorn_generation::ResponseSynthesizer::stuff(processor);
  vorn_core::Value answer = co_await synthesizer->synthesize(question.as_string(), vorn_core::to_chunk_list(chunks));

  vorn_core::Dict result;
  result.set(StateKeys::RESPONSE, answer.is_none() ? std::string() : answer.str());
  result.set(StateKeys::CHUNKS, std::move(chunks));
  co_return result;
}

}  // namespace vorn_rag
