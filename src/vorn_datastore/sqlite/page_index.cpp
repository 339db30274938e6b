#include "page_index.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <cmath>
#include <memory>

#include "connection.hpp"
#include "fts_query.hpp"
#include "row_codec.hpp"

namespace vorn_datastore::sqlite {
namespace {

// A title word says more about a whole page than about one chunk of it: on
// a page of thousands of words, the title's few are otherwise lost.
constexpr double kPageTitleWeight = 4.0;
constexpr double kPageHeadingWeight = 2.0;
constexpr double kPageK1 = 1.2;
constexpr double kPageB = 0.75;

struct PageText {
  std::size_t chunks = 0;
  std::string title;
  std::string headings;
  std::string content;
};

// The same text every time for the same chunks: chunk order is seq order,
// and the title is the first chunk's.
PageText page_text(Connection& c, const std::string& source) {
  PageText page;
  Stmt s = c.prepare("SELECT content, metadata FROM chunks WHERE json_extract(metadata, '$.source') = ?1 ORDER BY seq");
  s.bind(1, std::string_view(source));
  std::string last_heading;
  while (s.step("Reading a page's chunks")) {
    const FtsFields fields = fts_fields(parse_metadata(s.text(1), c.path()));
    if (page.chunks++ == 0) page.title = fields.title;
    // Consecutive chunks of one section repeat its heading path.
    if (!fields.heading.empty() && fields.heading != last_heading) {
      if (!page.headings.empty()) page.headings += '\n';
      page.headings += fields.heading;
      last_heading = fields.heading;
    }
    if (!page.content.empty()) page.content += "\n\n";
    page.content += s.text(0);
  }
  return page;
}

std::int64_t page_row(Connection& c, const std::string& source) {
  Stmt s = c.prepare("SELECT page FROM pages WHERE source = ?1");
  s.bind(1, std::string_view(source));
  return s.step("Looking up a page") ? s.int64(0) : 0;
}

void write_fts_row(Connection& c, std::int64_t page, const PageText& text, bool remove) {
  Stmt s = c.prepare(remove ? "INSERT INTO pages_fts(pages_fts, rowid, title, heading, content) "
                              "VALUES ('delete', ?1, ?2, ?3, ?4)"
                            : "INSERT INTO pages_fts(rowid, title, heading, content) VALUES (?1, ?2, ?3, ?4)");
  s.bind(1, page);
  s.bind(2, std::string_view(text.title));
  s.bind(3, std::string_view(text.headings));
  s.bind(4, std::string_view(text.content));
  s.step(remove ? "Removing a page from the index" : "Indexing a page");
}

double env_or(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return v ? std::atof(v) : fallback;
}

struct PageQueryStats {
  double avg_length = 1.0;
  std::vector<double> idf;
  std::vector<double> tf;
};

int count_rows(const Fts5ExtensionApi*, Fts5Context*, void* counter) {
  ++*static_cast<sqlite3_int64*>(counter);
  return SQLITE_OK;
}

PageQueryStats* page_stats(const Fts5ExtensionApi* api, Fts5Context* fts, int& rc) {
  if (auto* cached = static_cast<PageQueryStats*>(api->xGetAuxdata(fts, 0))) return cached;
  auto stats = std::make_unique<PageQueryStats>();
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
    double idf = std::log((static_cast<double>(rows - hits) + 0.5) / (static_cast<double>(hits) + 0.5));
    if (idf <= 0.0) idf = 1e-6;
    stats->idf.push_back(idf);
  }
  stats->tf.resize(stats->idf.size());
  PageQueryStats* raw = stats.release();
  rc = api->xSetAuxdata(fts, raw, [](void* p) { delete static_cast<PageQueryStats*>(p); });
  return rc == SQLITE_OK ? raw : nullptr;
}

// vorn_page_bm25(pages_fts, k1, b, title weight, heading weight): BM25F
// over the page's columns.
void page_bm25(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc != 4) {
    sqlite3_result_error(ctx, "vorn_page_bm25 takes k1, b and two column weights", -1);
    return;
  }
  const double k1 = sqlite3_value_double(argv[0]);
  const double b = sqlite3_value_double(argv[1]);
  const double weights[3] = {sqlite3_value_double(argv[2]), sqlite3_value_double(argv[3]), 1.0};
  int rc = SQLITE_OK;
  PageQueryStats* stats = page_stats(api, fts, rc);
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
      stats->tf[phrase] += column >= 0 && column < 3 ? weights[column] : 1.0;
    }
  }
  int length = 0;
  if (rc == SQLITE_OK) rc = api->xColumnSize(fts, -1, &length);
  if (rc != SQLITE_OK) {
    sqlite3_result_error_code(ctx, rc);
    return;
  }
  const double norm = k1 * (1.0 - b + b * length / stats->avg_length);
  double score = 0.0;
  for (std::size_t i = 0; i < stats->tf.size(); ++i) {
    score += stats->idf[i] * (stats->tf[i] * (k1 + 1.0)) / (stats->tf[i] + norm);
  }
  sqlite3_result_double(ctx, -score);
}

}  // namespace

void register_page_rank_function(fts5_api* api, Connection& c) {
  if (api->xCreateFunction(api, "vorn_page_bm25", nullptr, page_bm25, nullptr) != SQLITE_OK) {
    c.fail(SQLITE_ERROR, "Registering the page ranking function");
  }
}

void unindex_pages(Connection& c, const std::set<std::string>& sources) {
  for (const std::string& source : sources) {
    const std::int64_t page = page_row(c, source);
    if (page == 0) continue;
    const PageText text = page_text(c, source);
    if (text.chunks > 0) write_fts_row(c, page, text, /*remove=*/true);
    Stmt del = c.prepare("DELETE FROM pages WHERE page = ?1");
    del.bind(1, page);
    del.step("Removing a page");
  }
}

void index_pages(Connection& c, const std::set<std::string>& sources) {
  for (const std::string& source : sources) {
    const PageText text = page_text(c, source);
    if (text.chunks == 0) continue;
    Stmt ins = c.prepare("INSERT INTO pages(source) VALUES (?1)");
    ins.bind(1, std::string_view(source));
    ins.step("Adding a page");
    write_fts_row(c, sqlite3_last_insert_rowid(c.db()), text, /*remove=*/false);
  }
}

std::set<std::string> pages_of_ids(Connection& c, const std::vector<std::string>& ids) {
  std::set<std::string> sources;
  for (const std::string& id : ids) {
    Stmt s = c.prepare(
        "SELECT json_extract(metadata, '$.source') FROM chunks WHERE id = ?1 AND json_type(metadata, '$.source') = "
        "'text'");
    s.bind(1, std::string_view(id));
    if (s.step("Looking up a chunk's page")) sources.emplace(s.text(0));
  }
  return sources;
}

std::vector<PageMatch> search_pages(Connection& c, const std::vector<std::string>& terms, std::size_t top_k) {
  std::vector<PageMatch> pages;
  if (terms.empty() || top_k == 0) return pages;
  static const std::string sql =
      "SELECT p.source, -r.score FROM (SELECT rowid AS page, vorn_page_bm25(pages_fts, " +
      std::to_string(env_or("VORN_PAGE_K1", kPageK1)) + ", " + std::to_string(env_or("VORN_PAGE_B", kPageB)) + ", " +
      std::to_string(env_or("VORN_PAGE_TITLE_W", kPageTitleWeight)) + ", " +
      std::to_string(env_or("VORN_PAGE_HEADING_W", kPageHeadingWeight)) +
      ") AS score FROM pages_fts WHERE pages_fts MATCH ?1 ORDER BY score, rowid LIMIT ?2) AS r "
      "JOIN pages AS p ON p.page = r.page ORDER BY r.score, r.page";
  Stmt s = c.prepare(sql);
  const std::string match = match_expression(terms);
  s.bind(1, std::string_view(match));
  s.bind(2, static_cast<std::int64_t>(std::min<std::size_t>(top_k, INT64_MAX)));
  while (s.step("Searching pages")) pages.push_back({std::string(s.text(0)), s.real(1)});
  return pages;
}

}  // namespace vorn_datastore::sqlite
