#include "vorn_inference/openai_lm_invoker.hpp"

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>

#include "vorn_core/json.hpp"
#include "vorn_inference/errors.hpp"
#include "chat_stream.hpp"
#include "openai_replies.hpp"
#include "openai_transport.hpp"

namespace vorn_inference {
namespace {

using nlohmann::json;
constexpr std::string_view kPath = "/chat/completions";

// The endpoint accepts names of letters, digits, '_' and '-', up to 64.
bool valid_schema_name(const std::string& name) {
  return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '-';
  });
}

json response_format(const OpenAILMInvokerOptions& options, const vorn_core::Value& schema) {
  if (!schema.is_dict()) {
    throw ModelConfigError("`response_schema` must be a JSON schema object (a dict), got " + schema.type_name() +
                           ". Pass a dict and retry.");
  }
  const vorn_core::Dict& dict = schema.as_dict();
  const vorn_core::Value* name = dict.find("name");
  const vorn_core::Value* inner = dict.find("schema");
  json block = json::object();
  if (name && name->is_string() && inner && inner->is_dict()) {
    // The caller wrote the whole json_schema block.
    block = vorn_core::to_json(schema);
    if (!block.contains("strict")) block["strict"] = options.strict_schema;
  } else {
    const vorn_core::Value title = dict.get("title");
    const bool use_title = title.is_string() && valid_schema_name(title.as_string());
    block["name"] = use_title ? title.as_string() : options.schema_name;
    block["schema"] = vorn_core::to_json(schema);
    block["strict"] = options.strict_schema;
  }
  json format = json::object();
  format["type"] = "json_schema";
  format["json_schema"] = std::move(block);
  return format;
}

std::string build_body(const OpenAILMInvokerOptions& options, const std::vector<Message>& messages,
                       const InvokeOptions& invoke_options, bool stream) {
  json body = json::object();
  for (const auto& [key, value] : options.extra_body) body[key] = vorn_core::to_json(value);
  body["model"] = options.model;
  json list = json::array();
  for (const Message& m : messages) {
    json entry = json::object();
    entry["role"] = m.role;
    entry["content"] = m.content;
    list.push_back(std::move(entry));
  }
  body["messages"] = std::move(list);
  if (options.temperature) body["temperature"] = *options.temperature;
  if (options.max_tokens) body["max_tokens"] = *options.max_tokens;
  if (!invoke_options.response_schema.is_none()) {
    body["response_format"] = response_format(options, invoke_options.response_schema);
  }
  // The reply's shape depends on it, so it is never left to `extra_body`.
  if (stream) {
    body["stream"] = true;
  } else {
    body.erase("stream");
    body.erase("stream_options");
  }
  return detail::dump_request(body);
}

// Message content is a string, or (some servers) a list of text parts.
std::optional<std::string> content_text(const json& message, const std::string& safe_url) {
  const auto content = message.find("content");
  if (content == message.end() || content->is_null()) return std::nullopt;
  if (content->is_string()) return content->get<std::string>();
  if (content->is_array()) {
    std::string text;
    for (const json& part : *content) {
      const auto piece = part.is_object() ? part.find("text") : part.end();
      if (piece != part.end() && piece->is_string()) text += piece->get<std::string>();
    }
    return text;
  }
  throw ModelResponseError("The model endpoint " + safe_url + " answered message content of JSON type " +
                           std::string(content->type_name()) + ". Check that it speaks the chat completions API, "
                           "then retry.");
}

// Models asked for JSON sometimes still wrap it in a Markdown code fence.
std::string_view strip_code_fence(std::string_view text) {
  auto trim = [](std::string_view t) {
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.remove_suffix(1);
    return t;
  };
  text = trim(text);
  if (!text.starts_with("```") || !text.ends_with("```") || text.size() < 6) return text;
  text.remove_suffix(3);
  const auto first_line_end = text.find('\n');
  if (first_line_end == std::string_view::npos) return text;
  return trim(text.substr(first_line_end + 1));
}

vorn_core::Value parse_structured(const detail::OpenAITransport& transport, const std::optional<std::string>& text,
                                  const std::string& finish_reason) {
  const std::string cut_off =
      finish_reason == "length" ? " (finish_reason 'length': the answer was cut off; raise `max_tokens`)" : "";
  if (!text || text->empty()) {
    throw StructuredOutputError("The model gave no content where a JSON answer was asked for" + cut_off +
                                ". Check the prompt, the schema and the model, then retry.");
  }
  const json parsed = json::parse(strip_code_fence(*text), nullptr, false);
  if (parsed.is_discarded()) {
    throw StructuredOutputError("The model's answer is not valid JSON" + cut_off + ": " +
                                detail::excerpt(transport.api_key(), *text) +
                                ". Check the prompt, the schema and the model, then retry.");
  }
  auto value = detail::bounded_value_from_json(parsed);
  if (!value) {
    throw StructuredOutputError("The model's JSON answer is too large or too deeply nested to use. Check the prompt "
                                "and the schema, then retry.");
  }
  return std::move(*value);
}

}  // namespace

LMOutputPtr detail::parse_chat_reply(const json& reply, bool structured, const detail::OpenAITransport& transport,
                                     const std::string& requested_model) {
  const std::string safe_url = transport.safe_url(kPath);
  auto malformed = [&](const std::string& what) {
    return ModelResponseError("The model endpoint " + safe_url + " answered a chat completion without " + what +
                              ". Check that it speaks the chat completions API, then retry.");
  };
  if (!reply.is_object()) throw malformed("a JSON object at the top");
  const auto choices = reply.find("choices");
  if (choices == reply.end() || !choices->is_array() || choices->empty()) throw malformed("any choice");
  const json& choice = (*choices)[0];
  if (!choice.is_object()) throw malformed("a choice object");
  const auto message = choice.find("message");
  if (message == choice.end() || !message->is_object()) throw malformed("a message");

  const auto finish = choice.find("finish_reason");
  const std::string finish_reason = finish != choice.end() && finish->is_string() ? finish->get<std::string>() : "";
  const std::optional<std::string> text = content_text(*message, safe_url);

  const auto refusal = message->find("refusal");
  if (refusal != message->end() && refusal->is_string() && !refusal->get<std::string>().empty()) {
    const std::string why = "The model refused to answer: " +
                            detail::excerpt(transport.api_key(), refusal->get<std::string>()) +
                            ". Rephrase the request or use another model, then retry.";
    if (structured) throw StructuredOutputError(why);
    throw ModelResponseError(why);
  }

  auto output = std::make_shared<LMOutput>(text.value_or(""));
  const auto model = reply.find("model");
  output->metadata.set("model", model != reply.end() && model->is_string() ? model->get<std::string>()
                                                                          : requested_model);
  const auto id = reply.find("id");
  if (id != reply.end() && id->is_string()) output->metadata.set("id", id->get<std::string>());
  output->metadata.set("finish_reason", finish_reason.empty() ? vorn_core::Value() : vorn_core::Value(finish_reason));
  const auto usage = reply.find("usage");
  if (usage != reply.end() && usage->is_object()) {
    if (auto value = detail::bounded_value_from_json(*usage)) output->metadata.set("usage", std::move(*value));
  }
  if (structured) output->structured_output = parse_structured(transport, text, finish_reason);
  return output;
}

OpenAILMInvoker::OpenAILMInvoker(OpenAILMInvokerOptions options) : options_(std::move(options)) {
  if (options_.model.empty()) throw ModelConfigError("Missing `model`. Pass the model name and retry.");
  if (!valid_schema_name(options_.schema_name)) {
    throw ModelConfigError("`schema_name` must be 1 to 64 letters, digits, '_' or '-'. Pass such a name and retry.");
  }
  transport_ = std::make_unique<detail::OpenAITransport>(options_.endpoint);
}

OpenAILMInvoker::~OpenAILMInvoker() = default;

vorn_core::Task<LMOutputPtr> OpenAILMInvoker::invoke(std::vector<Message> messages, InvokeOptions options) {
  // Callers hold invokers by shared_ptr; keep this one alive across the wait.
  [[maybe_unused]] const auto keep_alive = weak_from_this().lock();
  const bool structured = !options.response_schema.is_none();
  std::string body = build_body(options_, messages, options, /*stream=*/options.on_text && !structured);
  std::string path(kPath);
  if (options.on_text && !structured) {
    detail::ChatStreamReader reader(*transport_, options_.model, options.on_text);
    detail::CallControl control;
    control.deadline = options.deadline;
    control.stop = options.stop;
    auto on_body = [&reader](std::string_view piece) { reader.feed(piece); };
    auto pending = transport_->post_streaming(std::move(path), std::move(body), "text/event-stream", on_body,
                                              std::move(control));
    co_await std::move(pending);
    co_return reader.finish();
  }
  detail::CallControl control;
  control.deadline = options.deadline;
  control.stop = options.stop;
  auto pending = transport_->post(std::move(path), std::move(body), std::move(control));
  const json reply = co_await std::move(pending);
  co_return detail::parse_chat_reply(reply, structured, *transport_, options_.model);
}

std::string OpenAILMInvoker::repr() const {
  return "OpenAILMInvoker(model=" + vorn_core::quote(options_.model) +
         ", base_url=" + vorn_core::quote(redact_url(options_.endpoint.base_url)) + ")";
}

}  // namespace vorn_inference
