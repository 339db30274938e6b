// The full-text tokenizer the store registers with FTS5 as "vorn".
//
// Indexed text becomes vorn_core search terms: every word as its Snowball
// English stem (stop words too, so a query made only of them still finds
// something), and code-like tokens ("--soft", "os.path.join", "pg_dump")
// also whole, at the position of their first word. Query text is passed
// through untouched: the store builds its MATCH expressions from terms that
// vorn_core::search_terms already produced, so both sides meet exactly.
#pragma once

#include <string_view>

struct fts5_api;

namespace vorn_datastore::sqlite {

// What an index records about its tokenizer; an index that records another
// value (or none) was built with other terms and must be rebuilt.
inline constexpr std::string_view kTokenizerVersion = "vorn-snowball-english-code-1";

// Registers the tokenizer; throws StoreError(kOpen) when FTS5 refuses it.
void register_tokenizer(fts5_api* api);

}  // namespace vorn_datastore::sqlite
