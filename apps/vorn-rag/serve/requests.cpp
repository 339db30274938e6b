#include "requests.hpp"

#include <algorithm>
#include <cmath>

#include "components.hpp"
#include "serve_errors.hpp"
#include "vorn_core/json.hpp"

namespace vorn_serve {
namespace {

using nlohmann::json;

[[noreturn]] void refuse(const std::string& message) { throw BadRequestError(message); }

const json* member(const json& body, const char* name) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return nullptr;
  return &*it;
}

std::string required_text(const json& body, const char* name, std::size_t max_bytes) {
  const json* value = member(body, name);
  if (!value) refuse(std::string("Missing `") + name + "`. Send it as a non-empty string and retry.");
  if (!value->is_string()) refuse(std::string("`") + name + "` must be a string. Send text and retry.");
  const auto& text = value->get_ref<const std::string&>();
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    refuse(std::string("`") + name + "` is blank. Send a non-empty string and retry.");
  }
  if (text.size() > max_bytes) {
    refuse(std::string("`") + name + "` is longer than " + std::to_string(max_bytes) +
           " bytes. Shorten it and retry.");
  }
  return text;
}

std::string optional_name(const json& body, const char* name, const std::string& fallback) {
  const json* value = member(body, name);
  if (!value) return fallback;
  if (!value->is_string()) refuse(std::string("`") + name + "` must be a string. Send a name and retry.");
  return value->get<std::string>();
}

std::int64_t optional_top_k(const json& body, std::int64_t fallback) {
  const json* value = member(body, "top_k");
  if (!value) return fallback;
  // 5.0 is accepted as 5; 5.5, "5" and true are not. Out-of-range numbers
  // of any kind are clamped to one past the limit before the range check.
  std::int64_t top_k = 0;
  if (value->is_number_unsigned()) {
    top_k = static_cast<std::int64_t>(std::min<std::uint64_t>(value->get<std::uint64_t>(), kMaxTopK + 1));
  } else if (value->is_number_integer()) {
    top_k = value->get<std::int64_t>();
  } else if (value->is_number_float() && value->get<double>() == std::floor(value->get<double>())) {
    top_k = static_cast<std::int64_t>(std::clamp(value->get<double>(), -1.0, static_cast<double>(kMaxTopK + 1)));
  } else {
    refuse("`top_k` must be a whole number. Send an integer from 1 to " + std::to_string(kMaxTopK) + " and retry.");
  }
  if (top_k < 1 || top_k > kMaxTopK) {
    refuse("Invalid `top_k`. Set it to 1 to " + std::to_string(kMaxTopK) + " and retry.");
  }
  return top_k;
}

bool optional_flag(const json& body, const char* name) {
  const json* value = member(body, name);
  if (!value) return false;
  if (!value->is_boolean()) refuse(std::string("`") + name + "` must be true or false. Fix it and retry.");
  return value->get<bool>();
}

// A flat mapping of metadata keys to scalars: what the stores can compare.
vorn_core::Value optional_filter(const json& body) {
  const json* value = member(body, "filter");
  if (!value) return {};
  if (!value->is_object()) refuse("`filter` must be an object of metadata keys to values. Fix it and retry.");
  if (value->size() > kMaxFilterKeys) {
    refuse("`filter` has more than " + std::to_string(kMaxFilterKeys) + " keys. Use fewer and retry.");
  }
  for (const auto& [key, v] : value->items()) {
    if (key.empty() || key.find('"') != std::string::npos) {
      refuse("`filter` key '" + key + "' is empty or holds a double quote. Use a plain metadata key and retry.");
    }
    if (v.is_structured() || v.is_null() || v.is_binary()) {
      refuse("`filter` value of '" + key + "' must be a string, number or boolean. Fix it and retry.");
    }
  }
  return vorn_core::from_json(*value);
}

std::string message_content(const json& content) {
  if (content.is_string()) return content.get<std::string>();
  if (content.is_null()) return {};
  if (!content.is_array()) refuse("A message's `content` must be a string or a list of text parts. Fix it and retry.");
  std::string text;
  for (const auto& part : content) {
    if (!part.is_object()) refuse("A `content` part must be an object. Fix it and retry.");
    const json* type = member(part, "type");
    if (!type || !type->is_string()) refuse("A `content` part needs a string `type`. Fix it and retry.");
    if (*type != "text") continue;  // images and the like: not ours to read
    const json* part_text = member(part, "text");
    if (!part_text || !part_text->is_string()) refuse("A text part needs a string `text`. Fix it and retry.");
    if (!text.empty()) text += "\n";
    text += part_text->get<std::string>();
  }
  return text;
}

}  // namespace

nlohmann::json parse_json_object(std::string_view body) {
  json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) refuse("The body is not valid JSON (or not UTF-8). Send a JSON object and retry.");
  if (!parsed.is_object()) refuse("The body must be a JSON object. Send {\"...\": ...} and retry.");
  return parsed;
}

void check_strategy_name(const std::string& name) {
  const auto& known = vorn_cli::kStrategies;
  if (std::find(known.begin(), known.end(), name) == known.end()) {
    refuse("Unknown strategy '" + name + "'. Use naive, crag, map-reduce, routed or agentic (GET /v1/models) and retry.");
  }
}

void check_retriever_name(const std::string& name) {
  if (name != "vector" && name != "bm25" && name != "hybrid") {
    refuse("Unknown retriever '" + name + "'. Use vector, bm25 or hybrid and retry.");
  }
}

AskRequest parse_ask_request(const nlohmann::json& body, const RequestDefaults& defaults) {
  AskRequest request;
  request.question = required_text(body, "question", kMaxQuestionBytes);
  request.strategy = optional_name(body, "strategy", defaults.strategy);
  check_strategy_name(request.strategy);
  request.retriever = optional_name(body, "retriever", defaults.retriever);
  check_retriever_name(request.retriever);
  request.top_k = optional_top_k(body, defaults.top_k);
  request.filter = optional_filter(body);
  request.trace = optional_flag(body, "trace");
  return request;
}

SearchRequest parse_search_request(const nlohmann::json& body, const RequestDefaults& defaults) {
  SearchRequest request;
  request.query = required_text(body, "query", kMaxQuestionBytes);
  request.retriever = optional_name(body, "retriever", defaults.retriever);
  check_retriever_name(request.retriever);
  request.top_k = optional_top_k(body, defaults.top_k);
  request.filter = optional_filter(body);
  return request;
}

ChatRequest parse_chat_request(const nlohmann::json& body, const RequestDefaults& defaults) {
  ChatRequest request;
  request.model = optional_name(body, "model", defaults.strategy);
  // Clients that must name a model but know nothing of strategies send the
  // server's name: it means the default strategy.
  if (request.model.empty() || request.model == "vorn-rag") request.model = defaults.strategy;
  check_strategy_name(request.model);
  request.retriever = optional_name(body, "retriever", defaults.retriever);
  check_retriever_name(request.retriever);
  request.top_k = optional_top_k(body, defaults.top_k);
  request.filter = optional_filter(body);
  request.stream = optional_flag(body, "stream");

  const json* messages = member(body, "messages");
  if (!messages || !messages->is_array() || messages->empty()) {
    refuse("`messages` must be a non-empty list of {\"role\", \"content\"}. Fix it and retry.");
  }
  if (messages->size() > kMaxMessages) {
    refuse("More than " + std::to_string(kMaxMessages) + " `messages`. Send fewer turns and retry.");
  }
  std::size_t total = 0;
  for (const auto& m : *messages) {
    if (!m.is_object()) refuse("Each of `messages` must be an object. Fix it and retry.");
    const json* role = member(m, "role");
    if (!role || !role->is_string()) refuse("Each message needs a string `role`. Fix it and retry.");
    const json* content = member(m, "content");
    ChatMessage message{role->get<std::string>(), content ? message_content(*content) : std::string()};
    total += message.content.size();
    if (total > kMaxMessages * kMaxQuestionBytes) refuse("`messages` hold too much text. Shorten them and retry.");
    request.messages.push_back(std::move(message));
  }
  const bool has_question = std::any_of(request.messages.begin(), request.messages.end(), [](const ChatMessage& m) {
    return m.role == "user" && m.content.find_first_not_of(" \t\r\n") != std::string::npos;
  });
  if (!has_question) refuse("`messages` hold no user message with text. Add the question and retry.");
  if (request.messages.back().content.size() > kMaxQuestionBytes) {
    refuse("The last message is longer than " + std::to_string(kMaxQuestionBytes) + " bytes. Shorten it and retry.");
  }
  return request;
}

}  // namespace vorn_serve
