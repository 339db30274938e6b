#include "vorn_generation/response_synthesizer.hpp"

#include "vorn_core/error.hpp"
#include "vorn_core/logger.hpp"
#include "vorn_core/trace.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_generation {
namespace {

vorn_core::Dict cut_note(const ContextCut& cut) {
  auto ids = [](const std::vector<std::string>& list) {
    vorn_core::List out;
    for (const std::string& id : list) out.push_back(id);
    return out;
  };
  vorn_core::Dict note;
  note.set("budget_bytes", static_cast<std::int64_t>(cut.budget));
  note.set("shortened", ids(cut.shortened));
  note.set("dropped", ids(cut.dropped));
  note.set("bytes_removed", static_cast<std::int64_t>(cut.bytes_removed));
  note.set("summary", cut.describe());
  return note;
}

class StuffResponseSynthesizer final : public ResponseSynthesizer {
 public:
  StuffResponseSynthesizer(LMRequestProcessorPtr processor, StuffOptions options)
      : processor_(std::move(processor)), options_(std::move(options)) {}

  vorn_core::Task<vorn_core::Value> synthesize(std::string query, vorn_core::ChunkList chunks) override {
    vorn_core::Dict inputs;
    inputs.set("query", std::move(query));
    if (options_.max_prompt_bytes > 0) chunks = fit(inputs, chunks);
    inputs.set("context", format_context(chunks));
    auto pending = processor_->process(std::move(inputs), options_.on_text);
    auto output = co_await std::move(pending);
    if (!output->response.empty()) co_return output->response;
    if (!output->structured_output.is_none()) co_return output->structured_output.str();
    co_return vorn_core::Value();
  }
  std::string type_name() const override { return "ResponseSynthesizer"; }

 private:
  // The chunks that fit what the templates and the question leave of the
  // budget.
  vorn_core::ChunkList fit(vorn_core::Dict inputs, const vorn_core::ChunkList& chunks) const {
    inputs.set("context", "");
    std::size_t fixed = 0;
    for (const auto& message : processor_->prompt_builder()->format(inputs)) fixed += message.content.size();
    const std::size_t room = fixed < options_.max_prompt_bytes ? options_.max_prompt_bytes - fixed : 0;
    FittedContext fitted = fit_context(chunks, room);
    if (!fitted.cut.empty()) {
      vorn_core::LoggerManager().get_logger("vorn_generation").warning("Prompt cut to fit: " + fitted.cut.describe());
      // The run's trace says which passages the answer never saw.
      if (vorn_core::Trace* trace = vorn_core::current_trace()) trace->note("context_budget", cut_note(fitted.cut));
      if (options_.on_context_cut) options_.on_context_cut(fitted.cut);
    }
    return std::move(fitted.chunks);
  }

  LMRequestProcessorPtr processor_;
  StuffOptions options_;
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

std::shared_ptr<ResponseSynthesizer> ResponseSynthesizer::stuff(LMRequestProcessorPtr lm_request_processor,
                                                               StuffOptions options) {
  if (!lm_request_processor) {
    throw vorn_core::InvalidValueError("Missing `lm_request_processor`. Pass an LM request processor and retry.");
  }
  return std::make_shared<StuffResponseSynthesizer>(std::move(lm_request_processor), std::move(options));
}

}  // namespace vorn_generation
