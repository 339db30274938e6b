// A language model behind an OpenAI-compatible chat completions endpoint
// (OpenAI, vLLM, llama.cpp server, Ollama, LiteLLM...).
//
//   OpenAILMInvoker lm(OpenAILMInvokerOptions{
//       .model = "gpt-4o-mini",
//       .endpoint = {.base_url = "http://localhost:8000/v1", .api_key_env = "MY_KEY"}});
//
// `invoke` never blocks the event loop: the exchange runs on the shared I/O
// thread (see http_client.hpp) and the answer resumes the caller on its own
// loop, so calls started together overlap. Waits between retries sleep on
// the loop. With `InvokeOptions::on_text` the answer streams (server-sent
// events) to the caller as the model writes it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vorn_core/value.hpp"
#include "vorn_inference/lm_invoker.hpp"
#include "vorn_inference/openai_endpoint.hpp"

namespace vorn_inference {

namespace detail {
class OpenAITransport;
}

struct OpenAILMInvokerOptions {
  // Model name as the endpoint knows it; required.
  std::string model;
  OpenAIEndpointOptions endpoint;
  std::optional<double> temperature;
  std::optional<std::int64_t> max_tokens;
  // Further request fields ("seed", "top_p", ...). `model`, `messages`, the
  // two fields above and, when a schema is given, `response_format` always
  // come from the invoker.
  vorn_core::Dict extra_body;
  // Structured output: the schema's name when the schema has no usable
  // "title", and whether the endpoint must follow the schema exactly.
  std::string schema_name = "response";
  bool strict_schema = true;
};

class OpenAILMInvoker : public BaseLMInvoker {
 public:
  // Reads the API key from the environment. Throws `ModelConfigError` for an
  // empty model, a base URL that is not http(s) or bad limits.
  explicit OpenAILMInvoker(OpenAILMInvokerOptions options);
  ~OpenAILMInvoker() override;

  // Sends the messages to "<base>/chat/completions". With
  // `options.response_schema` (a JSON schema as a dict) the request asks for
  // JSON following it and the output's `structured_output` holds the parsed
  // answer. A dict holding "name" and "schema" is taken as the complete
  // json_schema block. Metadata: "model", "id", "finish_reason", "usage".
  //
  // Throws `ModelTimeoutError`, `ModelConnectionError`, `ModelHTTPError`
  // (`ModelAuthError` for 401/403), `ModelResponseError` (a body that is not
  // a chat completion) and `StructuredOutputError` (no JSON answer when one
  // was asked for, or a refusal).
  vorn_core::Task<LMOutputPtr> invoke(std::vector<Message> messages, InvokeOptions options) override;

  std::string model_name() const override { return options_.model; }
  const OpenAILMInvokerOptions& options() const noexcept { return options_; }
  std::string type_name() const override { return "OpenAILMInvoker"; }
  // Model and base URL; never the key.
  std::string repr() const override;

 private:
  OpenAILMInvokerOptions options_;
  std::unique_ptr<detail::OpenAITransport> transport_;
};

}  // namespace vorn_inference
