// JSON-RPC 2.0 messages as the Model Context Protocol uses them over
// standard input and output: one message per line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vorn_mcp {

namespace rpc_errc {
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;
}  // namespace rpc_errc

// A request (id set) or a notification (no id).
struct RpcRequest {
  std::optional<nlohmann::json> id;  // a string or a number
  std::string method;
  nlohmann::json params = nlohmann::json::object();
};

// A failure to read a message, answered as a JSON-RPC error.
struct RpcError {
  nlohmann::json id;  // null when the message's id could not be read
  int code = rpc_errc::kInvalidRequest;
  std::string message;
};

// Reads one message object. Returns the request, or the error to answer
// with. Replies from the client (objects with "result" or "error" and no
// "method") are neither: both results are empty and nothing is answered.
struct ParsedMessage {
  std::optional<RpcRequest> request;
  std::optional<RpcError> error;
};
ParsedMessage parse_message(const nlohmann::json& message);

nlohmann::json result_message(const nlohmann::json& id, nlohmann::json result);
nlohmann::json error_message(const RpcError& error);

// Protocol revisions this server speaks, newest first.
inline constexpr const char* kProtocolVersions[] = {"2025-06-18", "2025-03-26", "2024-11-05"};
// The client's revision when we speak it, else our newest.
std::string negotiate_protocol_version(const nlohmann::json& params);

}  // namespace vorn_mcp
