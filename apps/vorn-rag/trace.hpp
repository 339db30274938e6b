// --trace: the run's trace (vorn_core/trace.hpp) as text or JSON.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "vorn_core/trace.hpp"

namespace vorn_cli {

// One line per event in start order, nested steps indented: name, kind,
// duration, chunk count, and the code of a failure.
std::string render_trace(const std::vector<vorn_core::TraceEvent>& events);

// One object per event: step, kind, depth, parent, start_ms, ms, failed,
// code (failures), chunks (when counted), data (notes).
nlohmann::json trace_json(const std::vector<vorn_core::TraceEvent>& events);

}  // namespace vorn_cli
