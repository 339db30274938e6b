// BM25 and vector search over a SqliteChunkStore.
#include <algorithm>
#include <cmath>

#include "errors.hpp"
#include "filter_sql.hpp"
#include "fts_query.hpp"
#include "page_index.hpp"
#include "row_codec.hpp"
#include "store_impl.hpp"

namespace vorn_datastore {

using sqlite::Connection;
using sqlite::Stmt;

namespace {

// Ranks rows only: the chunks are read afterwards, and only those wanted.
constexpr const char* kRankedSql =
    "SELECT rowid, vorn_bm25(chunks_fts) AS score FROM chunks_fts WHERE chunks_fts MATCH ?1 "
    "ORDER BY score, rowid LIMIT ?2";

std::string filtered_ranked_sql(const sqlite::FilterSql& f) {
  return "SELECT c.seq, vorn_bm25(chunks_fts) AS score FROM chunks_fts "
         "JOIN chunks AS c ON c.seq = chunks_fts.rowid WHERE chunks_fts MATCH ?1 AND " +
         f.where + " ORDER BY score, c.seq LIMIT ?2";
}

// Looking one chunk's length up in FTS5's docsize table costs about as much
// as reading this many rows' lengths in one pass over it.
constexpr std::int64_t kLengthLookupsPerScannedRow = 8;

std::vector<RowHit> as_rows(const std::vector<sqlite::RankedRow>& ranked) {
  std::vector<RowHit> rows;
  rows.reserve(ranked.size());
  for (const sqlite::RankedRow& r : ranked) rows.push_back({r.seq, r.score});
  return rows;
}

}  // namespace

template <typename Finish>
auto SqliteChunkStore::Impl::bm25(Reader& r, std::string_view query, std::size_t top_k, const Filter& filter,
                                  const Finish& finish) -> decltype(finish(*r, std::vector<RowHit>{})) {
  using Out = decltype(finish(*r, std::vector<RowHit>{}));
  if (top_k == 0) return {};
  const std::vector<std::string> terms = sqlite::query_terms(query);
  if (terms.empty()) return {};
  const auto limit = static_cast<std::int64_t>(std::min<std::size_t>(top_k, INT64_MAX));

  sqlite::FilterSql f;
  std::string sql = kRankedSql;
  if (!filter.empty()) {
    f = sqlite::build_filter_sql(filter, 3);
    sql = filtered_ranked_sql(f);
  }

  // vorn_bm25 reads doc_lengths while the statement steps; the in-memory
  // text index lives as long as this lock is held.
  std::shared_lock lengths_lock(vectors_mutex);
  const sqlite::TextIndex* memory = filter.empty() ? memory_text_index(*r) : nullptr;
  const auto df = [&](const std::string& t) {
    return memory != nullptr ? memory->document_frequency(t) : document_frequency(*r, t);
  };

  // A term in half the chunks or more gets an idf of ~1e-6 from BM25, so it
  // cannot change the order among chunks that match a rarer term, yet
  // ranking its matches costs the most. Search without such terms first and
  // only fall back to the full query when that leaves too few hits.
  const auto rows = static_cast<std::int64_t>(vectors.size());
  std::vector<std::string> informative;
  if (terms.size() > 1 && rows > 0) {
    for (const std::string& t : terms) {
      if (2 * df(t) < rows) informative.push_back(t);
    }
    if (informative.size() == terms.size()) informative.clear();
  }
  if (memory == nullptr && !doc_lengths_complete.load(std::memory_order_acquire)) {
    // Chunk lengths come from FTS5 one row at a time until the whole
    // table is read; read it once a search ranks enough rows to pay for it.
    std::int64_t ranked = 0;
    for (const std::string& t : informative.empty() ? terms : informative) ranked += df(t);
    if (ranked * kLengthLookupsPerScannedRow >= rows) {
      lengths_lock.unlock();
      {
        std::unique_lock lock(vectors_mutex);
        if (!doc_lengths_complete.load(std::memory_order_relaxed)) {
          load_doc_lengths(*r);
          doc_lengths_complete.store(true, std::memory_order_release);
        }
      }
      lengths_lock.lock();
    }
  }
  sqlite::ReadTransaction snapshot(*r);
  const auto run = [&](const std::vector<std::string>& use) -> Out {
    if (memory != nullptr) return finish(*r, as_rows(memory->top(use, top_k)));
    const std::string match = sqlite::match_expression(use);
    std::vector<RowHit> rows;
    {
      Stmt st = r->prepare(sql);
      st.bind(1, std::string_view(match));
      st.bind(2, limit);
      sqlite::bind_filter(st, f, 3);
      while (st.step("Searching chunk text")) rows.push_back({st.int64(0), -st.real(1)});
    }
    return finish(*r, rows);
  };

  if (!informative.empty()) {
    Out hits = run(informative);
    if (hits.size() >= top_k) return hits;
  }
  return run(terms);
}

std::vector<SearchHit> SqliteChunkStore::search_bm25(std::string_view query, std::size_t top_k,
                                                     const Filter& filter) const {
  Impl& s = impl();
  Impl::Reader r = s.reader();
  // Rows the in-memory copy still holds but the file no longer does are
  // dropped before they count towards top_k.
  return s.bm25(r, query, top_k, filter,
                [&](Connection& c, const std::vector<RowHit>& rows) { return s.read_hits(c, rows); });
}

std::vector<RowHit> SqliteChunkStore::rank_bm25(std::string_view query, std::size_t top_k,
                                                const Filter& filter) const {
  Impl& s = impl();
  Impl::Reader r = s.reader();
  return s.bm25(r, query, top_k, filter, [](Connection&, std::vector<RowHit> rows) { return rows; });
}

void SqliteChunkStore::warm_up() const {
  Impl& s = impl();
  Impl::Reader r = s.reader();
  std::shared_lock lock(s.vectors_mutex);
  (void)s.memory_text_index(*r);
}

std::vector<double> SqliteChunkStore::score_pages(std::string_view query,
                                                 const std::vector<std::string>& sources) const {
  Impl& s = impl();
  std::vector<double> none(sources.size(), 0.0);
  if (sources.empty()) return none;
  const std::vector<std::string> terms = sqlite::query_terms(query);
  if (terms.empty()) return none;
  // This process's own writes are searchable at once.
  s.index_pending_pages();
  Impl::Reader r = s.reader();
  // Rarity among chunks stands for rarity among pages: it is known (and
  // cached) already, and pages keep no term statistics of their own. Words
  // in half the chunks or more count for nothing in BM25 and are left out.
  // The in-memory text index lives as long as the vectors lock is held.
  std::shared_lock lock(s.vectors_mutex);
  const auto rows = static_cast<std::int64_t>(s.vectors.size());
  const sqlite::TextIndex* memory = s.memory_text_index(*r);
  sqlite::ReadTransaction snapshot(*r);
  std::vector<sqlite::PageQueryTerm> weighted;
  for (const std::string& t : terms) {
    const std::int64_t df = memory != nullptr ? memory->document_frequency(t) : s.document_frequency(*r, t);
    if (df == 0 || 2 * df >= rows) continue;
    weighted.push_back({sqlite::term_hash(t),
                        std::log((static_cast<double>(rows - df) + 0.5) / (static_cast<double>(df) + 0.5))});
  }
  if (weighted.empty()) return none;
  return sqlite::score_pages(*r, sources, weighted, s.page_length_mean(*r));
}

std::vector<SearchHit> SqliteChunkStore::search_vector(std::span<const float> query, std::size_t top_k,
                                                       const Filter& filter, std::optional<double> min_score) const {
  Impl& s = impl();
  Impl::Reader r = s.reader();
  sqlite::ReadTransaction snapshot(*r);
  return s.read_hits(*r, s.nearest_rows(*r, query, top_k, filter, min_score));
}

std::vector<RowHit> SqliteChunkStore::rank_vector(std::span<const float> query, std::size_t top_k,
                                                  const Filter& filter, std::optional<double> min_score) const {
  Impl& s = impl();
  Impl::Reader r = s.reader();
  sqlite::ReadTransaction snapshot(*r);
  return s.nearest_rows(*r, query, top_k, filter, min_score);
}

std::vector<RowHit> SqliteChunkStore::Impl::nearest_rows(Connection& c, std::span<const float> query,
                                                         std::size_t top_k, const Filter& filter,
                                                         std::optional<double> min_score) {
  if (top_k == 0) return {};
  if (!std::all_of(query.begin(), query.end(), [](float x) { return std::isfinite(x); })) {
    throw StoreError(store_errc::kInput,
                     "The query embedding contains NaN or infinite values. Check the embedder output.");
  }
  if (!filter.empty()) (void)sqlite::build_filter_sql(filter, 1);  // same validation and errors as BM25
  std::optional<float> floor;
  if (min_score) floor = static_cast<float>(*min_score);

  for (;;) {
    if (!filter.empty()) {
      // Built once under the exclusive lock; a failed ingest may reset it.
      bool ready = false;
      {
        std::shared_lock lock(vectors_mutex);
        ready = metadata_index.built();
      }
      if (!ready) {
        std::unique_lock lock(vectors_mutex);
        if (!metadata_index.built()) build_metadata_index(c);
      }
    }
    std::shared_lock lock(vectors_mutex);
    if (!filter.empty() && !metadata_index.built()) continue;
    if (vectors.empty()) return {};
    if (query.size() != vectors.dimension()) {
      throw StoreError(store_errc::kInput, "The query embedding has " + std::to_string(query.size()) +
                                               " values but the store holds " +
                                               std::to_string(vectors.dimension()) +
                                               "-dimensional embeddings. Embed the query with the model used for "
                                               "ingestion.");
    }
    const auto load = [&](std::size_t slot, std::span<float> out) { return read_exact_vector(c, seqs[slot], out); };
    std::vector<VectorMatch> matches;
    if (filter.empty()) {
      matches = vectors.search(query, top_k, floor, nullptr, load);
    } else {
      const std::vector<std::size_t> subset = metadata_index.matching(filter);
      matches = vectors.search(query, top_k, floor, &subset, load);
    }
    std::vector<RowHit> rows;
    rows.reserve(matches.size());
    for (const VectorMatch& m : matches) rows.push_back({seqs[m.slot], static_cast<double>(m.score)});
    return rows;
  }
}

}  // namespace vorn_datastore
