// A metadata filter as SQL. The same condition serves BM25 and vector search
// (which only uses it to validate), so both agree on what matches.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace vorn_datastore::sqlite {

class Stmt;

struct FilterSql {
  std::string where;                // over chunks AS c
  std::vector<nlohmann::json> params;  // strings bind as text, numbers as numbers
};

// A key goes into a JSON path as a quoted label, which SQLite ends at the
// next '"' and at a NUL byte (the path is a C string); either would make the
// path malformed, which SQLite reports as an error nobody could act on.
bool usable_json_key(std::string_view key) noexcept;

// The key for a message: quoted, NUL and other control bytes escaped.
std::string quoted_key(std::string_view key);

// Parameters are numbered from `first_param`. Throws StoreError(kInput) for a
// key usable_json_key refuses or a value type filters do not support.
FilterSql build_filter_sql(const Filter& filter, int first_param);

void bind_filter(Stmt& s, const FilterSql& f, int first_param);

}  // namespace vorn_datastore::sqlite
