#include "bm25_rank.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include "connection.hpp"
#include "fts_tokenizer.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace vorn_datastore::sqlite {
namespace {

struct QueryStats {
  double avg_length = 1.0;
  std::vector<double> idf;
  std::vector<double> tf;  // scratch, per phrase
};

int count_rows(const Fts5ExtensionApi*, Fts5Context*, void* counter) {
  ++*static_cast<sqlite3_int64*>(counter);
  return SQLITE_OK;
}

// Computed once per statement and kept as FTS5 auxiliary data.
QueryStats* query_stats(const Fts5ExtensionApi* api, Fts5Context* fts, int& rc) {
  if (auto* cached = static_cast<QueryStats*>(api->xGetAuxdata(fts, 0))) return cached;
  auto stats = std::make_unique<QueryStats>();
  sqlite3_int64 rows = 0;
  sqlite3_int64 tokens = 0;
  rc = api->xRowCount(fts, &rows);
  if (rc == SQLITE_OK) rc = api->xColumnTotalSize(fts, -1, &tokens);
  if (rc != SQLITE_OK) return nullptr;
  if (rows > 0 && tokens > 0) stats->avg_length = static_cast<double>(tokens) / static_cast<double>(rows);
  const int phrases = api->xPhraseCount(fts);
  for (int i = 0; i < phrases; ++i) {
    sqlite3_int64 hits = 0;
    rc = api->xQueryPhrase(fts, i, &hits, count_rows);
    if (rc != SQLITE_OK) return nullptr;
    stats->idf.push_back(bm25_idf(rows, hits));
  }
  stats->tf.resize(stats->idf.size());
  QueryStats* raw = stats.release();
  rc = api->xSetAuxdata(fts, raw, [](void* p) { delete static_cast<QueryStats*>(p); });
  return rc == SQLITE_OK ? raw : nullptr;
}

void vorn_bm25(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* ctx, int, sqlite3_value**) {
  int rc = SQLITE_OK;
  QueryStats* stats = query_stats(api, fts, rc);
  if (stats == nullptr) {
    sqlite3_result_error_code(ctx, rc == SQLITE_OK ? SQLITE_NOMEM : rc);
    return;
  }
  std::fill(stats->tf.begin(), stats->tf.end(), 0.0);
  int instances = 0;
  rc = api->xInstCount(fts, &instances);
  for (int i = 0; rc == SQLITE_OK && i < instances; ++i) {
    int phrase = 0;
    int column = 0;
    int offset = 0;
    rc = api->xInst(fts, i, &phrase, &column, &offset);
    if (rc == SQLITE_OK && phrase >= 0 && static_cast<std::size_t>(phrase) < stats->tf.size()) {
      stats->tf[phrase] += column >= 0 && column < kTextColumns ? kColumnWeights[column] : 1.0;
    }
  }
  const auto* lengths = static_cast<const DocLengths*>(api->xUserData(fts));
  const sqlite3_int64 rowid = api->xRowid(fts);
  double length = 0.0;
  if (rowid >= 0 && static_cast<std::uint64_t>(rowid) < lengths->size() && (*lengths)[rowid] != 0) {
    length = (*lengths)[rowid];
  } else if (rc == SQLITE_OK) {
    int n = 0;
    rc = api->xColumnSize(fts, -1, &n);
    length = n;
  }
  if (rc != SQLITE_OK) {
    sqlite3_result_error_code(ctx, rc);
    return;
  }
  const double norm = bm25_norm(length, stats->avg_length);
  double score = 0.0;
  for (std::size_t i = 0; i < stats->tf.size(); ++i) score += bm25_term(stats->idf[i], stats->tf[i], norm);
  sqlite3_result_double(ctx, -score);  // FTS5 convention: lower ranks first
}

// The table's totals, as the ranking function sees them: what a copy of the
// index needs to compute the same average length.
void fts_rows(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* ctx, int, sqlite3_value**) {
  sqlite3_int64 rows = 0;
  const int rc = api->xRowCount(fts, &rows);
  if (rc != SQLITE_OK) return sqlite3_result_error_code(ctx, rc);
  sqlite3_result_int64(ctx, rows);
}

void fts_tokens(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* ctx, int, sqlite3_value**) {
  sqlite3_int64 tokens = 0;
  const int rc = api->xColumnTotalSize(fts, -1, &tokens);
  if (rc != SQLITE_OK) return sqlite3_result_error_code(ctx, rc);
  sqlite3_result_int64(ctx, tokens);
}

}  // namespace

void register_rank_function(Connection& c, const DocLengths* lengths) {
  fts5_api* api = nullptr;
  {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(c.db(), "SELECT fts5(?1)", -1, &raw, nullptr);
    StmtPtr owned(raw);
    if (rc == SQLITE_OK) rc = sqlite3_bind_pointer(raw, 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    if (rc == SQLITE_OK) sqlite3_step(raw);
    if (rc != SQLITE_OK) c.fail(rc, "Loading the full-text engine");
  }
  if (api == nullptr || api->iVersion < 2) {
    throw StoreError(store_errc::kOpen, "The SQLite library in use has no FTS5 support; install a SQLite build with "
                                        "FTS5 (Debian's libsqlite3 has it).");
  }
  register_tokenizer(api);
  int rc = api->xCreateFunction(api, "vorn_bm25", const_cast<DocLengths*>(lengths), vorn_bm25, nullptr);
  if (rc == SQLITE_OK) rc = api->xCreateFunction(api, "vorn_fts_rows", nullptr, fts_rows, nullptr);
  if (rc == SQLITE_OK) rc = api->xCreateFunction(api, "vorn_fts_tokens", nullptr, fts_tokens, nullptr);
  if (rc != SQLITE_OK) c.fail(rc, "Registering the ranking function");
  // Per-connection view of term document frequencies (temp schema: the file
  // itself is not changed, so this also works on read-only connections).
  c.exec("CREATE VIRTUAL TABLE IF NOT EXISTS temp.chunks_vocab USING fts5vocab(main, chunks_fts, 'row')",
         "Opening the term statistics");
}

std::uint32_t varint_sum(std::span<const std::byte> blob) noexcept {
  std::uint64_t total = 0;
  std::size_t i = 0;
  while (i < blob.size()) {
    std::uint64_t v = 0;
    for (std::size_t k = 0; i < blob.size() && k < 9; ++k, ++i) {
      const auto b = static_cast<std::uint8_t>(blob[i]);
      if (k == 8) {
        v = (v << 8U) | b;
        ++i;
        break;
      }
      v = (v << 7U) | (b & 0x7FU);
      if ((b & 0x80U) == 0) {
        ++i;
        break;
      }
    }
    total += v;
  }
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(total, UINT32_MAX));
}

}  // namespace vorn_datastore::sqlite
