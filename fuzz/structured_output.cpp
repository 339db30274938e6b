// A model's structured answer, from the text the model wrote to what the
// LM-backed components make of it. The text goes through the chat client's
// own reply parsing (JSON parse, code-fence stripping, the size and depth
// bounds of the conversion to a `Value`); what comes out goes to the
// relevance filter, the query transformer and the router. Each step either
// works or raises a typed error of the family, never anything else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "openai_replies.hpp"
#include "openai_transport.hpp"
#include "value_from_bytes.hpp"
#include "vorn_core/json.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_generation/lm_query_transformer.hpp"
#include "vorn_generation/lm_relevance_filter.hpp"
#include "vorn_generation/lm_router.hpp"
#include "vorn_inference/errors.hpp"

namespace {

using nlohmann::json;
using vorn_core::Value;

// Answers whatever the current input decoded to.
class FixedInvoker final : public vorn_inference::BaseLMInvoker {
 public:
  std::string text;
  Value structured;
  vorn_core::Task<vorn_inference::LMOutputPtr> invoke(std::vector<vorn_inference::Message>,
                                                      vorn_inference::InvokeOptions) override {
    co_return std::make_shared<vorn_inference::LMOutput>(text, structured);
  }
};

const vorn_inference::detail::OpenAITransport& transport() {
  static const vorn_inference::detail::OpenAITransport t(
      vorn_inference::OpenAIEndpointOptions{.base_url = "http://127.0.0.1:9/v1", .api_key_env = ""});
  return t;
}

template <class F>
void expect_family_error_only(F&& f) {
  try {
    f();
  } catch (const vorn_core::BaseError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto invoker = std::make_shared<FixedInvoker>();
  static const auto filter = std::make_shared<vorn_generation::LMRelevanceFilter>(invoker);
  static const auto transformer = std::make_shared<vorn_generation::LMQueryTransformer>(invoker);
  static const auto router = std::make_shared<vorn_generation::LMRouter>(
      std::vector<vorn_generation::LMRoute>{{"docs", "documentation"}, {"code", "source code"}}, invoker);

  vorn_fuzz::ByteReader in(data, size);
  const std::uint8_t mode = in.byte();
  const std::string text = in.rest();

  // The conversion bounds alone, on any JSON the text parses to.
  const json parsed = json::parse(text, nullptr, false);
  if (!parsed.is_discarded()) {
    if (auto value = vorn_inference::detail::bounded_value_from_json(parsed)) {
      (void)value->repr();
      (void)vorn_core::to_json(*value);
    }
  }

  // The whole reply path, as the chat client reads an answer.
  json reply = json::object();
  json message = json::object();
  message["role"] = "assistant";
  message["content"] = text;
  json choice = json::object();
  choice["message"] = std::move(message);
  choice["finish_reason"] = (mode & 1) ? "length" : "stop";
  reply["choices"] = json::array({std::move(choice)});
  vorn_inference::LMOutputPtr output;
  try {
    output = vorn_inference::detail::parse_chat_reply(reply, /*structured=*/true, transport(), "fuzz-model");
  } catch (const vorn_inference::StructuredOutputError&) {
    return 0;
  }
  if (!output) vorn_fuzz::violated("no output and no error");

  invoker->text = output->response;
  invoker->structured = output->structured_output;
  vorn_core::ChunkList chunks;
  for (int i = 0; i < 1 + (mode >> 5); ++i) chunks.push_back(vorn_core::make_chunk("c" + std::to_string(i), "text"));
  expect_family_error_only([&] { (void)vorn_core::run_sync(filter->filter(chunks, "question")); });
  expect_family_error_only([&] {
    Value queries = vorn_core::run_sync(transformer->transform("question"));
    if (!queries.is_list()) vorn_fuzz::violated("the transformer answered no list");
    for (const Value& q : queries.as_list()) {
      if (!q.is_string()) vorn_fuzz::violated("the transformer answered a query that is not text");
    }
  });
  expect_family_error_only([&] {
    Value route = vorn_core::run_sync(router->route("question"));
    if (!route.is_string() || (route.as_string() != "docs" && route.as_string() != "code")) {
      vorn_fuzz::violated("the router answered no known route");
    }
  });
  return 0;
}
