// User text as an FTS5 query that cannot be misread as query syntax, and the
// text each full-text column holds for a chunk.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorn_datastore::sqlite {

// The query's search terms (vorn_core::search_terms: Snowball stems, code
// tokens whole), each once, at most 32. Stop words match most rows and only
// slow the ranking down, so they are dropped unless nothing else is left;
// so are the words that frame a request ("way", "want", "easiest", ...).
std::vector<std::string> query_terms(std::string_view query);

// Quoted terms joined by OR. Quoting makes every term a string literal for
// FTS5, so operators, column filters and stray quotes in the input are inert.
std::string match_expression(const std::vector<std::string>& terms);

// The title and heading columns of a chunk, from its metadata: "title" and
// "summary" of its page, and its "heading" path (absent keys are empty).
struct FtsFields {
  std::string title;
  std::string heading;
};
FtsFields fts_fields(const nlohmann::json& metadata);

}  // namespace vorn_datastore::sqlite
