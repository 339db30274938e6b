// An offline stand-in for a language model that answers by extraction: it
// reads the passages and the question out of a "stuff" prompt and answers
// with the passages' best sentences, citing their ids. With it,
// vorn_rag::query() and every strategy run without a model server.
#pragma once

#include <string>
#include <string_view>

#include "vorn_inference/extractive.hpp"
#include "vorn_inference/lm_invoker.hpp"

namespace vorn_inference {

class ExtractiveLMInvoker final : public BaseLMInvoker {
 public:
  explicit ExtractiveLMInvoker(ExtractiveOptions options = {});

  // Reads the last user message. Where it has a "Question:" line, the
  // question is what follows it (up to a closing "Answer:") and the passages
  // are the "[id] text" blocks before it (after an optional "Context:");
  // otherwise the whole message is the question and the passages come from
  // the system message. The response is the extractive answer; it never
  // gives a structured output, so `structured_output` is absent even when a
  // response schema was asked for. Metadata: "model" and "cited_ids".
  vorn_core::Task<LMOutputPtr> invoke(std::vector<Message> messages, InvokeOptions options) override;

  std::string model_name() const override { return "extractive"; }
  std::string type_name() const override { return "ExtractiveLMInvoker"; }
  const ExtractiveOptions& options() const noexcept { return options_; }

 private:
  ExtractiveOptions options_;
};

// The question and the context of a prompt, as ExtractiveLMInvoker reads them.
struct PromptParts {
  std::string question;
  std::string context;
};
PromptParts split_prompt(const std::vector<Message>& messages);

}  // namespace vorn_inference
