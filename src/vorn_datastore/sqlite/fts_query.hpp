// User text as an FTS5 query that cannot be misread as query syntax.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorn_datastore::sqlite {

// Plain words of the query, each once, at most 32. Stop words match most
// rows and only slow the ranking down, so they are dropped unless nothing
// else is left.
std::vector<std::string> query_terms(std::string_view query);

// Quoted terms joined by OR. Quoting makes every term a string literal for
// FTS5, so operators, column filters and stray quotes in the input are inert.
std::string match_expression(const std::vector<std::string>& terms);

}  // namespace vorn_datastore::sqlite
