// Conversion between `Value` and JSON, for storing chunk metadata and for
// machine-readable output.
#pragma once

#include <nlohmann/json.hpp>

#include "vorn_core/value.hpp"

namespace vorn_core {

// Absent -> null, bool, int, float, string, list -> array, dict -> object
// (insertion order is not kept: nlohmann objects sort their keys). Objects:
// a `Chunk` becomes {"id", "content", "metadata", "score"} (score null when
// unset), a `Record` its field mapping, anything else its quoted form.
// Non-finite floats become null (JSON has no NaN). Both conversions throw
// `ValueError` for data nested more than 1000 levels deep.
nlohmann::json to_json(const Value& value);

// null -> absent, bool, integer (one beyond 64-bit range -> float), float,
// string, array -> list, object -> dict, binary -> list of byte values.
Value from_json(const nlohmann::json& json);

}  // namespace vorn_core
