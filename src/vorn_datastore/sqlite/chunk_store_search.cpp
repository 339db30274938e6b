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

using sqlite::Stmt;

namespace {

// Without a filter FTS ranks first and only the top rows are joined.
constexpr const char* kRankedSql =
    "SELECT c.id, c.content, c.metadata, r.score, c.seq FROM "
    "(SELECT rowid AS seq, vorn_bm25(chunks_fts) AS score FROM chunks_fts WHERE chunks_fts MATCH ?1 "
    " ORDER BY score, rowid LIMIT ?2) AS r "
    "JOIN chunks AS c ON c.seq = r.seq ORDER BY r.score, r.seq";

std::string filtered_ranked_sql(const sqlite::FilterSql& f) {
  return "SELECT c.id, c.content, c.metadata, vorn_bm25(chunks_fts) AS score, c.seq FROM chunks_fts "
         "JOIN chunks AS c ON c.seq = chunks_fts.rowid WHERE chunks_fts MATCH ?1 AND " +
         f.where + " ORDER BY score, c.seq LIMIT ?2";
}

}  // namespace

std::vector<SearchHit> SqliteChunkStore::search_bm25(std::string_view query, std::size_t top_k,
                                                     const Filter& filter) const {
  Impl& s = impl();
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

  Impl::Reader r = s.reader();
  // vorn_bm25 reads doc_lengths while the statement steps; the in-memory
  // text index lives as long as this lock is held.
  std::shared_lock lengths_lock(s.vectors_mutex);
  const sqlite::TextIndex* memory = filter.empty() ? s.memory_text_index(*r) : nullptr;
  sqlite::ReadTransaction snapshot(*r);
  const auto run = [&](const std::vector<std::string>& use) {
    if (memory != nullptr) return s.fetch_ranked(*r, memory->top(use, top_k));
    const std::string match = sqlite::match_expression(use);
    Stmt st = r->prepare(sql);
    st.bind(1, std::string_view(match));
    st.bind(2, limit);
    sqlite::bind_filter(st, f, 3);
    std::vector<SearchHit> hits;
    while (st.step("Searching chunk text")) {
      hits.push_back({std::string(st.text(0)), std::string(st.text(1)),
                      s.metadata_cache.get(st.int64(4), st.text(2), s.path), -st.real(3)});
    }
    return hits;
  };

  // A term in half the chunks or more gets an idf of ~1e-6 from BM25, so it
  // cannot change the order among chunks that match a rarer term, yet
  // ranking its matches costs the most. Search without such terms first and
  // only fall back to the full query when that leaves too few hits.
  const auto rows = static_cast<std::int64_t>(s.vectors.size());
  if (terms.size() > 1 && rows > 0) {
    std::vector<std::string> informative;
    for (const std::string& t : terms) {
      const std::int64_t df = memory != nullptr ? memory->document_frequency(t) : s.document_frequency(*r, t);
      if (2 * df < rows) informative.push_back(t);
    }
    if (!informative.empty() && informative.size() < terms.size()) {
      std::vector<SearchHit> hits = run(informative);
      if (hits.size() >= top_k) return hits;
    }
  }
  return run(terms);
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
  if (top_k == 0) return {};
  if (!std::all_of(query.begin(), query.end(), [](float x) { return std::isfinite(x); })) {
    throw StoreError(store_errc::kInput,
                     "The query embedding contains NaN or infinite values. Check the embedder output.");
  }
  if (!filter.empty()) (void)sqlite::build_filter_sql(filter, 1);  // same validation and errors as BM25
  std::optional<float> floor;
  if (min_score) floor = static_cast<float>(*min_score);

  std::vector<VectorMatch> matches;
  std::vector<std::int64_t> hit_seqs;
  Impl::Reader r = s.reader();
  sqlite::ReadTransaction snapshot(*r);
  for (;;) {
    if (!filter.empty()) {
      // Built once under the exclusive lock; a failed ingest may reset it.
      bool ready = false;
      {
        std::shared_lock lock(s.vectors_mutex);
        ready = s.metadata_index.built();
      }
      if (!ready) {
        std::unique_lock lock(s.vectors_mutex);
        if (!s.metadata_index.built()) s.build_metadata_index(*r);
      }
    }
    std::shared_lock lock(s.vectors_mutex);
    if (!filter.empty() && !s.metadata_index.built()) continue;
    if (s.vectors.empty()) return {};
    if (query.size() != s.vectors.dimension()) {
      throw StoreError(store_errc::kInput, "The query embedding has " + std::to_string(query.size()) +
                                               " values but the store holds " +
                                               std::to_string(s.vectors.dimension()) +
                                               "-dimensional embeddings. Embed the query with the model used for "
                                               "ingestion.");
    }
    const auto load = [&](std::size_t slot, std::span<float> out) {
      return s.read_exact_vector(*r, s.seqs[slot], out);
    };
    if (filter.empty()) {
      matches = s.vectors.search(query, top_k, floor, nullptr, load);
    } else {
      const std::vector<std::size_t> subset = s.metadata_index.matching(filter);
      matches = s.vectors.search(query, top_k, floor, &subset, load);
    }
    hit_seqs.reserve(matches.size());
    for (const VectorMatch& m : matches) hit_seqs.push_back(s.seqs[m.slot]);
    break;
  }
  return s.fetch_hits(*r, matches, hit_seqs);
}

}  // namespace vorn_datastore
