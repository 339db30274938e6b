#include "mcp_server.hpp"

#include <string>

#include "chat.hpp"
#include "mcp_protocol.hpp"
#include "requests.hpp"
#include "responses.hpp"
#include "serve_errors.hpp"
#include "vorn_core/event_loop.hpp"

namespace vorn_mcp {
namespace {

using nlohmann::json;

// Longest line read; a longer one is answered as a parse error.
constexpr std::size_t kMaxLineBytes = 4 << 20;

json common_properties() {
  return {{"retriever", {{"type", "string"}, {"enum", {"vector", "bm25", "hybrid"}},
                         {"description", "How chunks are found (default: the server's)."}}},
          {"top_k", {{"type", "integer"}, {"minimum", 1}, {"maximum", vorn_serve::kMaxTopK},
                     {"description", "How many chunks to use."}}},
          {"filter", {{"type", "object"},
                      {"description", "Equality filter on chunk metadata, e.g. {\"source\": \"docs/guide.md\"}."}}}};
}

json text_result(std::string text, json structured, bool is_error = false) {
  json result = {{"content", {{{"type", "text"}, {"text", std::move(text)}}}}, {"isError", is_error}};
  if (!structured.is_null()) result["structuredContent"] = std::move(structured);
  return result;
}

std::string search_text(const std::vector<vorn_serve::Citation>& hits) {
  if (hits.empty()) return "No matching chunks.";
  std::string text;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    text += "[" + std::to_string(i + 1) + "] " + hits[i].source + " (" + hits[i].id + ")\n" + hits[i].text + "\n\n";
  }
  return text;
}

}  // namespace

json tool_list() {
  json ask_properties = common_properties();
  ask_properties["question"] = {{"type", "string"}, {"description", "The question, in plain words."}};
  ask_properties["strategy"] = {{"type", "string"},
                                {"enum", {"naive", "crag", "map-reduce", "routed", "agentic"}},
                                {"description", "The answering strategy (default: the server's)."}};
  json search_properties = common_properties();
  search_properties["query"] = {{"type", "string"}, {"description", "What to look for."}};
  return json::array(
      {{{"name", "search"},
        {"description", "Find the chunks of the indexed documents that best match a query, best first."},
        {"inputSchema", {{"type", "object"}, {"properties", search_properties}, {"required", {"query"}}}}},
       {{"name", "ask"},
        {"description", "Answer a question from the indexed documents, with the chunks it cites."},
        {"inputSchema", {{"type", "object"}, {"properties", ask_properties}, {"required", {"question"}}}}}});
}

McpServer::McpServer(vorn_serve::RagService& service) : service_(service) {}

void McpServer::run(std::istream& in, std::ostream& out) {
  std::string line;
  for (;;) {
    // Reads up to the next newline, keeping at most kMaxLineBytes of it, so
    // a client that never sends one cannot exhaust memory.
    line.clear();
    bool too_long = false;
    int c;
    while ((c = in.get()) != std::char_traits<char>::eof() && c != '\n') {
      if (line.size() < kMaxLineBytes) {
        line.push_back(static_cast<char>(c));
      } else {
        too_long = true;
      }
    }
    const bool at_end = c == std::char_traits<char>::eof();
    std::optional<json> reply;
    if (too_long) {
      reply = error_message(RpcError{nullptr, rpc_errc::kParseError,
                                     "The message is over " + std::to_string(kMaxLineBytes) + " bytes."});
    } else if (line.find_first_not_of(" \t\r") != std::string::npos) {
      reply = handle_line(line);
    }
    if (reply) out << vorn_serve::dump(*reply) << "\n" << std::flush;
    if (at_end) return;
  }
}

std::optional<json> McpServer::handle_line(std::string_view line) {
  json message = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (message.is_discarded()) {
    return error_message(RpcError{nullptr, rpc_errc::kParseError, "The line is not valid JSON (or not UTF-8)."});
  }
  if (message.is_array()) {
    if (message.empty()) return error_message(RpcError{nullptr, rpc_errc::kInvalidRequest, "An empty batch."});
    json replies = json::array();
    for (const auto& m : message) {
      if (auto reply = handle_message(m)) replies.push_back(std::move(*reply));
    }
    if (replies.empty()) return std::nullopt;
    return replies;
  }
  return handle_message(message);
}

std::optional<json> McpServer::handle_message(const json& message) {
  ParsedMessage parsed = parse_message(message);
  if (parsed.error) return error_message(*parsed.error);
  if (!parsed.request) return std::nullopt;
  const RpcRequest& request = *parsed.request;
  // Notifications (initialized, cancelled, ...) need no answer.
  if (!request.id) return std::nullopt;
  const json& id = *request.id;
  try {
    if (request.method == "initialize") {
      return result_message(id, {{"protocolVersion", negotiate_protocol_version(request.params)},
                                 {"capabilities", {{"tools", {{"listChanged", false}}}}},
                                 {"serverInfo", {{"name", "vorn-rag"}, {"version", "0.1.0"}}},
                                 {"instructions",
                                  "Use `search` to find passages of the indexed documents and `ask` for an answer "
                                  "with citations."}});
    }
    if (request.method == "ping") return result_message(id, json::object());
    if (request.method == "tools/list") return result_message(id, {{"tools", tool_list()}});
    if (request.method == "tools/call") return call_tool(request.params, id);
    return error_message(RpcError{id, rpc_errc::kMethodNotFound, "Unknown method '" + request.method + "'."});
  } catch (const std::exception& e) {
    return error_message(RpcError{id, rpc_errc::kInternalError, e.what()});
  }
}

json McpServer::call_tool(const json& params, const json& id) {
  auto name = params.find("name");
  if (name == params.end() || !name->is_string()) {
    return error_message(RpcError{id, rpc_errc::kInvalidParams, "tools/call needs a string `name`."});
  }
  if (*name != "search" && *name != "ask") {
    return error_message(RpcError{id, rpc_errc::kInvalidParams, "Unknown tool '" + name->get<std::string>() + "'."});
  }
  json arguments = json::object();
  if (auto it = params.find("arguments"); it != params.end() && !it->is_null()) {
    if (!it->is_object()) return error_message(RpcError{id, rpc_errc::kInvalidParams, "`arguments` must be an object."});
    arguments = *it;
  }
  // Failures of the tool itself (bad arguments, a failing strategy) are the
  // tool's result, flagged as an error, so the assistant can read and act on them.
  try {
    const auto& defaults = service_.options().defaults;
    vorn_core::EventLoop loop;
    if (*name == "search") {
      auto hits = loop.run_until_complete(service_.search(vorn_serve::parse_search_request(arguments, defaults)));
      return result_message(id, text_result(search_text(hits), vorn_serve::search_json(hits)));
    }
    auto result = loop.run_until_complete(service_.ask(vorn_serve::parse_ask_request(arguments, defaults)));
    return result_message(id, text_result(vorn_serve::answer_with_sources(result), vorn_serve::ask_json(result)));
  } catch (...) {
    auto reply = vorn_serve::error_reply(std::current_exception());
    return result_message(id, text_result("error [" + reply.code + "]: " + reply.message, nullptr, true));
  }
}

}  // namespace vorn_mcp
