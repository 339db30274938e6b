#include "vorn_generation/lm_request_processor.hpp"

#include "vorn_core/error.hpp"
#include "vorn_inference/errors.hpp"

namespace vorn_generation {

LMRequestProcessor::LMRequestProcessor(PromptBuilderPtr prompt_builder, vorn_inference::LMInvokerPtr lm_invoker,
                                       vorn_core::Value response_schema)
    : prompt_builder_(std::move(prompt_builder)),
      lm_invoker_(std::move(lm_invoker)),
      response_schema_(std::move(response_schema)) {
  if (!prompt_builder_) throw vorn_core::InvalidValueError("Missing `prompt_builder`. Pass a prompt builder and retry.");
  if (!lm_invoker_) throw vorn_core::InvalidValueError("Missing `lm_invoker`. Pass an LM invoker and retry.");
}

vorn_core::Task<vorn_inference::LMOutputPtr> LMRequestProcessor::process(vorn_core::Dict inputs,
                                                                     vorn_inference::TextSink on_text) {
  auto messages = prompt_builder_->format(inputs);
  // Built by statements: g++ 12 miscompiles the braced temporary in a
  // co_await operand, handing the invoker a destroyed schema.
  vorn_inference::InvokeOptions options;
  options.response_schema = response_schema_;
  options.on_text = std::move(on_text);
  auto output = co_await lm_invoker_->invoke(std::move(messages), std::move(options));
  if (!output) output = std::make_shared<vorn_inference::LMOutput>();
  co_return output;
}

vorn_core::Task<vorn_inference::LMOutputPtr> LMRequestProcessor::process_checked(vorn_core::Dict inputs,
                                                                             AnswerCheck check) {
  auto messages = prompt_builder_->format(inputs);
  std::string reason;
  {
    vorn_inference::InvokeOptions options;
    options.response_schema = response_schema_;
    try {
      auto pending = lm_invoker_->invoke(messages, std::move(options));
      auto output = co_await std::move(pending);
      if (!output) output = std::make_shared<vorn_inference::LMOutput>();
      check(output);
      co_return output;
    } catch (const vorn_inference::StructuredOutputError& e) {
      reason = e.message();
    }
  }
  // The correction note: what was wrong, then the request to answer again.
  messages.push_back(vorn_inference::Message{
      "user", "Your previous answer could not be used: " + reason +
                  "\nAnswer again with only a JSON object that follows the requested schema."});
  vorn_inference::InvokeOptions options;
  options.response_schema = response_schema_;
  auto pending = lm_invoker_->invoke(std::move(messages), std::move(options));
  auto output = co_await std::move(pending);
  if (!output) output = std::make_shared<vorn_inference::LMOutput>();
  check(output);
  co_return output;
}

vorn_core::Task<vorn_core::Value> LMRequestProcessor::run(vorn_core::Dict inputs) {
  co_return vorn_core::Value(co_await process(std::move(inputs)));
}

}  // namespace vorn_generation
