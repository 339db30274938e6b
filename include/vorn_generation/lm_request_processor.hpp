// Prompt building plus model invocation, as one component.
#pragma once

#include <functional>
#include <memory>

#include "vorn_core/callable.hpp"
#include "vorn_generation/prompt_builder.hpp"
#include "vorn_inference/lm_invoker.hpp"

namespace vorn_generation {

class LMRequestProcessor : public vorn_core::Component {
 public:
  // `response_schema`: a JSON schema (as a value) to ask the model for
  // structured output; absent for free text. Throws `ValueError` for an
  // absent prompt builder or invoker.
  LMRequestProcessor(PromptBuilderPtr prompt_builder, vorn_inference::LMInvokerPtr lm_invoker,
                     vorn_core::Value response_schema = {});

  // Fills the prompt with `inputs` and invokes the model. The output's
  // `structured_output` is absent when no structured answer came back.
  // `on_text`, when set, receives the answer's text as it arrives (free-text
  // answers; see `InvokeOptions::on_text`).
  vorn_core::Task<vorn_inference::LMOutputPtr> process(vorn_core::Dict inputs, vorn_inference::TextSink on_text = {});
  // Reads a structured answer; throws `StructuredOutputError` when it cannot
  // be used.
  using AnswerCheck = std::function<void(const vorn_inference::LMOutputPtr&)>;
  // `process` with one second chance: when the model's answer is no usable
  // structured answer (the invoker or `check` throws
  // `StructuredOutputError`), the request goes out once more with the
  // rejected answer and the reason appended, so the model can correct
  // itself. The second failure propagates. `check` has read the returned
  // output successfully.
  vorn_core::Task<vorn_inference::LMOutputPtr> process_checked(vorn_core::Dict inputs, AnswerCheck check);
  // Component form: the `LMOutput` as an object value.
  vorn_core::Task<vorn_core::Value> run(vorn_core::Dict inputs) override;

  const PromptBuilderPtr& prompt_builder() const noexcept { return prompt_builder_; }
  const vorn_inference::LMInvokerPtr& lm_invoker() const noexcept { return lm_invoker_; }
  const vorn_core::Value& response_schema() const noexcept { return response_schema_; }
  std::string type_name() const override { return "LMRequestProcessor"; }

 private:
  PromptBuilderPtr prompt_builder_;
  vorn_inference::LMInvokerPtr lm_invoker_;
  vorn_core::Value response_schema_;
};
using LMRequestProcessorPtr = std::shared_ptr<LMRequestProcessor>;

}  // namespace vorn_generation
