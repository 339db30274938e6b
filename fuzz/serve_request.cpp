// The request bodies `vorn-rag serve` and `vorn-rag mcp` parse: JSON API
// bodies (/v1/ask, /v1/search, /v1/chat/completions) and MCP messages with
// their tool arguments. The first byte picks the parser; the rest is the
// body, as a client would send it.
//
// Invariants: parsing never crashes and refuses only with BadRequestError;
// whatever it accepts is within the bounds the server promises its
// strategies (a non-blank question of bounded size, top_k in 1..kMaxTopK, a
// flat filter of scalars, at least one user turn). The body, as a string a
// response would carry, is written as JSON exactly as the JSON library
// writes it, invalid UTF-8 included.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json_text.hpp"
#include "mcp_protocol.hpp"
#include "requests.hpp"
#include "serve_errors.hpp"
#include "value_from_bytes.hpp"

namespace {

using vorn_serve::RequestDefaults;

void check_question(const std::string& text) {
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) vorn_fuzz::violated("blank question accepted");
  if (text.size() > vorn_serve::kMaxQuestionBytes) vorn_fuzz::violated("oversized question accepted");
}

void check_common(std::int64_t top_k, const vorn_core::Value& filter) {
  if (top_k < 1 || top_k > vorn_serve::kMaxTopK) vorn_fuzz::violated("top_k out of bounds accepted");
  if (filter.is_none()) return;
  if (!filter.is_dict()) vorn_fuzz::violated("filter that is not a mapping accepted");
  for (const auto& [key, value] : filter.as_dict()) {
    if (value.is_list() || value.is_dict() || value.is_none()) vorn_fuzz::violated("nested filter value accepted");
  }
}

void parse_api(int which, std::string_view body) {
  const RequestDefaults defaults;
  auto json = vorn_serve::parse_json_object(body);
  if (which == 0) {
    auto r = vorn_serve::parse_ask_request(json, defaults);
    check_question(r.question);
    check_common(r.top_k, r.filter);
  } else if (which == 1) {
    auto r = vorn_serve::parse_search_request(json, defaults);
    check_question(r.query);
    check_common(r.top_k, r.filter);
  } else {
    auto r = vorn_serve::parse_chat_request(json, defaults);
    check_common(r.top_k, r.filter);
    bool has_user = false;
    for (const auto& m : r.messages) has_user = has_user || (m.role == "user" && !m.content.empty());
    if (!has_user) vorn_fuzz::violated("conversation without a user turn accepted");
  }
}

void parse_mcp(std::string_view line) {
  auto json = nlohmann::json::parse(line, nullptr, false);
  if (json.is_discarded()) return;
  auto parsed = vorn_mcp::parse_message(json);
  if (parsed.request && parsed.error) vorn_fuzz::violated("a message both accepted and refused");
  if (!parsed.request) return;
  const auto& params = parsed.request->params;
  if (!params.is_object()) vorn_fuzz::violated("params that are not an object accepted");
  (void)vorn_mcp::negotiate_protocol_version(params);
  auto arguments = params.find("arguments");
  if (parsed.request->method != "tools/call" || arguments == params.end() || !arguments->is_object()) return;
  const RequestDefaults defaults;
  try {
    auto r = vorn_serve::parse_ask_request(*arguments, defaults);
    check_question(r.question);
    check_common(r.top_k, r.filter);
  } catch (const vorn_serve::BadRequestError&) {
  }
  auto r = vorn_serve::parse_search_request(*arguments, defaults);
  check_question(r.query);
  check_common(r.top_k, r.filter);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int which = data[0] % 4;
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string written;
  vorn_serve::append_json_string(written, body);
  if (written != nlohmann::json(std::string(body)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) {
    vorn_fuzz::violated("a string written unlike the JSON library writes it");
  }
  try {
    if (which == 3) {
      parse_mcp(body);
    } else {
      parse_api(which, body);
    }
  } catch (const vorn_serve::BadRequestError&) {
    // The one way a body is refused.
  } catch (...) {
    vorn_fuzz::violated("a body refused with something other than BadRequestError");
  }
  return 0;
}
