// A Model Context Protocol server over standard input and output: an
// assistant launches `vorn-rag mcp` as a subprocess and calls its `search`
// and `ask` tools. Requests are answered one at a time, in order, each on
// its own run of the library's event loop.
#pragma once

#include <istream>
#include <optional>
#include <ostream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "service.hpp"

namespace vorn_mcp {

class McpServer {
 public:
  explicit McpServer(vorn_serve::RagService& service);

  // Answers messages read from `in`, one JSON value per line, until end of
  // input; replies go to `out`, one per line, flushed at once.
  void run(std::istream& in, std::ostream& out);

  // One line in; the reply to write, if any (notifications and client
  // replies get none). Never throws.
  std::optional<nlohmann::json> handle_line(std::string_view line);

 private:
  std::optional<nlohmann::json> handle_message(const nlohmann::json& message);
  nlohmann::json call_tool(const nlohmann::json& params, const nlohmann::json& id);

  vorn_serve::RagService& service_;
};

// The tools as tools/list describes them.
nlohmann::json tool_list();

}  // namespace vorn_mcp
