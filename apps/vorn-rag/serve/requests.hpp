// The API's request bodies, parsed and checked before any work is queued.
// Every function throws `BadRequestError` naming the offending field, so a
// bad request costs a parse and never reaches a strategy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "vorn_core/value.hpp"

namespace vorn_serve {

// Bounds on what a client may ask for; a request outside them is refused.
inline constexpr std::int64_t kMaxTopK = 100;
inline constexpr std::size_t kMaxQuestionBytes = 16 * 1024;
inline constexpr std::size_t kMaxMessages = 256;
inline constexpr std::size_t kMaxFilterKeys = 32;

// Defaults the server fills in for fields a request leaves out.
struct RequestDefaults {
  std::string strategy = "naive";
  std::string retriever = "hybrid";
  std::int64_t top_k = 5;
};

struct AskRequest {
  std::string question;
  std::string strategy;
  std::string retriever;
  std::int64_t top_k = 5;
  // Equality filter on chunk metadata: a dict of scalar values; absent for none.
  vorn_core::Value filter;
  bool trace = false;
};

struct SearchRequest {
  std::string query;
  std::string retriever;
  std::int64_t top_k = 5;
  vorn_core::Value filter;
};

struct ChatMessage {
  std::string role;  // system, user, assistant (tool and others are kept but ignored)
  std::string content;
};

struct ChatRequest {
  std::string model;  // a strategy name; "vorn-rag" means the server's default
  std::vector<ChatMessage> messages;
  bool stream = false;
  std::string retriever;
  std::int64_t top_k = 5;
  vorn_core::Value filter;
};

// Parses a body as a JSON object; malformed JSON, a non-object or text that
// is not UTF-8 is a `BadRequestError`.
nlohmann::json parse_json_object(std::string_view body);

// {"question", "strategy"?, "retriever"?, "top_k"?, "filter"?, "trace"?}
AskRequest parse_ask_request(const nlohmann::json& body, const RequestDefaults& defaults);
// {"query", "retriever"?, "top_k"?, "filter"?}
SearchRequest parse_search_request(const nlohmann::json& body, const RequestDefaults& defaults);
// The OpenAI chat-completions body: {"model", "messages": [{"role", "content"}], "stream"?}
// plus the optional extensions "retriever", "top_k" and "filter". Content may
// be a string or a list of {"type": "text", "text"} parts.
ChatRequest parse_chat_request(const nlohmann::json& body, const RequestDefaults& defaults);

// Checks a strategy or retriever name against the known ones.
void check_strategy_name(const std::string& name);
void check_retriever_name(const std::string& name);

}  // namespace vorn_serve
