#include "fts_tokenizer.hpp"

#include <sqlite3.h>

#include <string>
#include <vector>

#include "run_terms.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace vorn_datastore::sqlite {
namespace {

using TokenCallback = int (*)(void*, int, const char*, int, int, int);

// FTS5 needs a tokenizer object; this one holds no state.
struct Tokenizer {};

int create(void*, const char**, int, Fts5Tokenizer** out) {
  *out = reinterpret_cast<Fts5Tokenizer*>(new Tokenizer);
  return SQLITE_OK;
}

void destroy(Fts5Tokenizer* t) { delete reinterpret_cast<Tokenizer*>(t); }

int tokenize(Fts5Tokenizer*, void* ctx, int flags, const char* text, int length, TokenCallback emit) {
  if (text == nullptr || length <= 0) return SQLITE_OK;
  if ((flags & FTS5_TOKENIZE_QUERY) != 0) return emit(ctx, 0, text, length, 0, length);
  int rc = SQLITE_OK;
  // Offsets name the whitespace-delimited run a term came from; nothing
  // here reads them but FTS5 wants them inside the text.
  for_each_run(std::string_view(text, static_cast<std::size_t>(length)),
               [&](std::string_view run, std::size_t begin, std::size_t end) {
                 if (rc != SQLITE_OK) return;
                 const RunTerms& terms = run_terms(run);
                 if (terms.stems.empty()) return;
                 const int start = static_cast<int>(begin);
                 const int stop = static_cast<int>(end);
                 for (const std::string& stem : terms.stems) {
                   rc = emit(ctx, 0, stem.data(), static_cast<int>(stem.size()), start, stop);
                   if (rc != SQLITE_OK) return;
                 }
                 for (const std::string& code : terms.codes) {
                   rc = emit(ctx, FTS5_TOKEN_COLOCATED, code.data(), static_cast<int>(code.size()), start, stop);
                   if (rc != SQLITE_OK) return;
                 }
               });
  return rc;
}

fts5_tokenizer kTokenizer = {create, destroy, tokenize};

}  // namespace

void register_tokenizer(fts5_api* api) {
  const int rc = api->xCreateTokenizer(api, "vorn", nullptr, &kTokenizer, nullptr);
  if (rc != SQLITE_OK) {
    throw StoreError(store_errc::kOpen, "The full-text engine refused the store's tokenizer (SQLite error " +
                                            std::to_string(rc) + "). Check the SQLite library in use.");
  }
}

}  // namespace vorn_datastore::sqlite
