// JSON text written straight from strings and numbers, for the responses
// sent most often: building a JSON document first and serialising it costs
// a copy of every string and an allocation per node.
//
// The output is byte for byte what `dump()` (responses.hpp) writes for the
// same values, so both paths answer alike.
#pragma once

#include <string>
#include <string_view>

namespace vorn_serve {

// Appends `text` as a JSON string: quoted, with `"`, `\` and control
// characters escaped (U+007F and beyond are written as they are). Bytes
// that are not well-formed UTF-8 become U+FFFD: an ill-formed sequence's
// longest valid prefix, or a byte that cannot start one, is one U+FFFD.
void append_json_string(std::string& out, std::string_view text);

// Appends a finite number in the shortest form that reads back the same;
// null for NaN and infinities.
void append_json_number(std::string& out, double value);

}  // namespace vorn_serve
