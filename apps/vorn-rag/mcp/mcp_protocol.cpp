#include "mcp_protocol.hpp"

namespace vorn_mcp {

ParsedMessage parse_message(const nlohmann::json& message) {
  ParsedMessage parsed;
  if (!message.is_object()) {
    parsed.error = RpcError{nullptr, rpc_errc::kInvalidRequest, "A message must be a JSON object."};
    return parsed;
  }
  nlohmann::json id = nullptr;
  auto id_it = message.find("id");
  const bool has_id = id_it != message.end();
  if (has_id) {
    if (!id_it->is_string() && !id_it->is_number_integer()) {
      parsed.error = RpcError{nullptr, rpc_errc::kInvalidRequest, "`id` must be a string or an integer."};
      return parsed;
    }
    id = *id_it;
  }
  auto version = message.find("jsonrpc");
  if (version == message.end() || *version != "2.0") {
    parsed.error = RpcError{id, rpc_errc::kInvalidRequest, "`jsonrpc` must be \"2.0\"."};
    return parsed;
  }
  auto method = message.find("method");
  if (method == message.end()) {
    // A reply to a request of ours; we send none, so there is nothing to do.
    if (message.contains("result") || message.contains("error")) return parsed;
    parsed.error = RpcError{id, rpc_errc::kInvalidRequest, "A request needs a `method`."};
    return parsed;
  }
  if (!method->is_string()) {
    parsed.error = RpcError{id, rpc_errc::kInvalidRequest, "`method` must be a string."};
    return parsed;
  }
  RpcRequest request;
  if (has_id) request.id = id;
  request.method = method->get<std::string>();
  auto params = message.find("params");
  if (params != message.end() && !params->is_null()) {
    if (!params->is_object()) {
      parsed.error = RpcError{id, rpc_errc::kInvalidParams, "`params` must be an object."};
      return parsed;
    }
    request.params = *params;
  }
  parsed.request = std::move(request);
  return parsed;
}

nlohmann::json result_message(const nlohmann::json& id, nlohmann::json result) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

nlohmann::json error_message(const RpcError& error) {
  return {{"jsonrpc", "2.0"}, {"id", error.id}, {"error", {{"code", error.code}, {"message", error.message}}}};
}

std::string negotiate_protocol_version(const nlohmann::json& params) {
  auto requested = params.find("protocolVersion");
  if (requested != params.end() && requested->is_string()) {
    for (const char* known : kProtocolVersions) {
      if (*requested == known) return known;
    }
  }
  return kProtocolVersions[0];
}

}  // namespace vorn_mcp
