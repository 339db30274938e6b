#include "vorn_generation/response_synthesizer.hpp"

#include "vorn_core/error.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_generation {
namespace {

class StuffResponseSynthesizer final : public ResponseSynthesizer {
 public:
  explicit StuffResponseSynthesizer(LMRequestProcessorPtr processor) : processor_(std::move(processor)) {}

  vorn_core::Task<vorn_core::Value> synthesize(std::string query, vorn_core::ChunkList chunks) override {
    vorn_core::Dict inputs;
    inputs.set("query", std::move(query));
    inputs.set("context", format_context(chunks));
    auto output = co_await processor_->process(std::move(inputs));
    if (!output->response.empty()) co_return output->response;
    if (!output->structured_output.is_none()) co_return output->structured_output.str();
    co_return vorn_core::Value();
  }
  std::string type_name() const override { return "ResponseSynthesizer"; }

 private:
  LMRequestProcessorPtr processor_;
};

}  // namespace

std::string format_context(const vorn_core::ChunkList& chunks) {
  std::string out;
  for (const auto& c : chunks) {
    if (!c) continue;
    if (!out.empty()) out += "\n\n";
    out += "[" + c->id + "] " + c->content;
  }
  return out;
}

vorn_core::Task<vorn_core::Value> ResponseSynthesizer::run(vorn_core::Dict inputs) {
  auto chunks_value = inputs.get("chunks");
  vorn_core::ChunkList chunks = chunks_value.is_none() ? vorn_core::ChunkList{} : vorn_core::to_chunk_list(chunks_value);
  co_return co_await synthesize(vorn_retrieval::query_text(inputs, "response synthesizer"), std::move(chunks));
}

std::shared_ptr<ResponseSynthesizer> ResponseSynthesizer::stuff(LMRequestProcessorPtr lm_request_processor) {
  if (!lm_request_processor) {
    throw vorn_core::ValueError("Missing `lm_request_processor`. Pass an LM request processor and retry.");
  }
  return std::make_shared<StuffResponseSynthesizer>(std::move(lm_request_processor));
}

}  // namespace vorn_generation
