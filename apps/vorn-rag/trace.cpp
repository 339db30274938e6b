#include "trace.hpp"

#include <algorithm>
#include <cstdio>

#include "vorn_core/json.hpp"

namespace vorn_cli {

std::string render_trace(const std::vector<vorn_core::TraceEvent>& events) {
  std::string out;
  char line[512];
  for (const auto& e : events) {
    const int indent = e.depth * 2;
    const std::string chunks = e.chunks ? "  " + std::to_string(*e.chunks) + " chunks" : "";
    const std::string outcome = e.ok ? "" : "  FAILED [" + e.error_code + "]";
    if (e.kind == "note") {
      std::snprintf(line, sizeof line, "%*s%-*s %-10s %s\n", indent, "", std::max(1, 34 - indent), e.name.c_str(),
                    "note", vorn_core::to_json(vorn_core::Value(e.data)).dump().c_str());
    } else {
      std::snprintf(line, sizeof line, "%*s%-*s %-10s %9.3f ms%s%s\n", indent, "", std::max(1, 34 - indent),
                    e.name.c_str(), e.kind.c_str(), e.duration_ms, chunks.c_str(), outcome.c_str());
    }
    out += line;
  }
  return out;
}

nlohmann::json trace_json(const std::vector<vorn_core::TraceEvent>& events) {
  auto out = nlohmann::json::array();
  for (const auto& e : events) {
    nlohmann::json item = {{"step", e.name},         {"kind", e.kind},    {"depth", e.depth},
                           {"parent", e.parent},     {"start_ms", e.start_ms}, {"ms", e.duration_ms},
                           {"failed", !e.ok}};
    if (!e.ok) item["code"] = e.error_code;
    if (e.chunks) item["chunks"] = *e.chunks;
    if (!e.data.empty()) item["data"] = vorn_core::to_json(vorn_core::Value(e.data));
    out.push_back(std::move(item));
  }
  return out;
}

}  // namespace vorn_cli
