#include "fts_tokenizer.hpp"

#include <sqlite3.h>

#include <string>
#include <vector>

#include "vorn_core/analysis.hpp"
#include "vorn_core/text.hpp"
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

bool is_ascii_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

int tokenize(Fts5Tokenizer*, void* ctx, int flags, const char* text, int length, TokenCallback emit) {
  if (text == nullptr || length <= 0) return SQLITE_OK;
  if ((flags & FTS5_TOKENIZE_QUERY) != 0) return emit(ctx, 0, text, length, 0, length);
  const std::string_view all(text, static_cast<std::size_t>(length));
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (pos < all.size()) {
    while (pos < all.size() && is_ascii_space(all[pos])) ++pos;
    const std::size_t begin = pos;
    while (pos < all.size() && !is_ascii_space(all[pos])) ++pos;
    if (begin == pos) break;
    // Offsets name the whitespace-delimited run a term came from; nothing
    // here reads them but FTS5 wants them inside the text.
    const std::string_view run = all.substr(begin, pos - begin);
    const int start = static_cast<int>(begin);
    const int end = static_cast<int>(pos);
    words.clear();
    vorn_core::tokenize_words_into(run, words);
    if (words.empty()) continue;
    for (const std::string& w : words) {
      const std::string stem = vorn_core::snowball_stem(w);
      if (const int rc = emit(ctx, 0, stem.data(), static_cast<int>(stem.size()), start, end); rc != SQLITE_OK) {
        return rc;
      }
    }
    for (const std::string& code : vorn_core::code_tokens(run)) {
      const int rc = emit(ctx, FTS5_TOKEN_COLOCATED, code.data(), static_cast<int>(code.size()), start, end);
      if (rc != SQLITE_OK) return rc;
    }
  }
  return SQLITE_OK;
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
