#include "page_index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "connection.hpp"
#include "errors.hpp"
#include "fts_query.hpp"
#include "row_codec.hpp"
#include "run_terms.hpp"
#include "vorn_core/text.hpp"

namespace vorn_datastore::sqlite {
namespace {

constexpr std::size_t kEntryBytes = sizeof(std::uint64_t) + sizeof(float);

// Terms as the "vorn" full-text tokenizer emits them for indexed text;
// returns how many word terms (not code tokens) there were.
std::size_t count_terms(std::string_view text, float weight, std::unordered_map<std::uint64_t, float>& counts) {
  std::size_t length = 0;
  for_each_run(text, [&](std::string_view run, std::size_t, std::size_t) {
    const RunTerms& terms = run_terms(run);
    if (terms.stems.empty()) return;
    for (const std::uint64_t h : terms.stem_hashes) counts[h] += weight;
    length += terms.stems.size();
    for (const std::uint64_t h : terms.code_hashes) counts[h] += weight;
  });
  return length;
}

struct PageText {
  std::size_t chunks = 0;
  std::string title;
  std::string headings;
  std::string content;
  std::string anchors;
};

// The page's text from its chunks, in seq order; the title is the first
// chunk's.
PageText page_text(Connection& c, const std::string& source) {
  PageText page;
  // The title, summary and heading are picked out by SQLite: parsing every
  // chunk's metadata here took a twentieth of the time of indexing. They
  // are taken as fts_fields takes them (string values only, "" otherwise).
  // CASE, unlike AND, never evaluates a JSON function on text that is not
  // JSON (which would fail the statement instead of naming the damage).
  Stmt s = c.prepare(
      "SELECT content, CASE WHEN json_valid(metadata) THEN json_type(metadata) = 'object' ELSE 0 END, "
      "CASE WHEN json_valid(metadata) THEN CASE WHEN json_type(metadata, '$.title') = 'text' "
      "THEN json_extract(metadata, '$.title') END END, "
      "CASE WHEN json_valid(metadata) THEN CASE WHEN json_type(metadata, '$.summary') = 'text' "
      "THEN json_extract(metadata, '$.summary') END END, "
      "CASE WHEN json_valid(metadata) THEN CASE WHEN json_type(metadata, '$.heading') = 'text' "
      "THEN json_extract(metadata, '$.heading') END END, "
      "CASE WHEN json_valid(metadata) THEN CASE WHEN json_type(metadata, '$.anchor_text') = 'text' "
      "THEN json_extract(metadata, '$.anchor_text') END END "
      "FROM chunks WHERE json_extract(metadata, '$.source') = ?1 ORDER BY seq");
  s.bind(1, std::string_view(source));
  std::string last_heading;
  while (s.step("Reading a page's chunks")) {
    if (s.int64(1) == 0) raise_corrupt(c.path(), "holds chunk metadata that is not a JSON object");
    const std::string_view title = s.text(2);
    const std::string_view summary = s.text(3);
    const std::string_view heading = s.text(4);
    if (const std::string_view anchors = s.text(5); !anchors.empty()) {
      if (!page.anchors.empty()) page.anchors += '\n';
      page.anchors += anchors;
    }
    if (page.chunks++ == 0) {
      page.title = title;
      if (!summary.empty()) {
        if (!page.title.empty()) page.title += '\n';
        page.title += summary;
      }
    }
    // Consecutive chunks of one section repeat its heading path.
    if (!heading.empty() && heading != last_heading) {
      if (!page.headings.empty()) page.headings += '\n';
      page.headings += heading;
      last_heading = heading;
    }
    if (!page.content.empty()) page.content += "\n\n";
    page.content += s.text(0);
  }
  return page;
}

void index_page(Connection& c, const std::string& source) {
  const PageText text = page_text(c, source);
  if (text.chunks == 0) return;
  const PageTerms terms = count_page_terms(text.title, text.headings, text.content, text.anchors);
  const std::string blob = encode_page_terms(terms.terms);
  Stmt ins = c.prepare("INSERT INTO pages(source, length, terms) VALUES (?1, ?2, ?3)");
  ins.bind(1, std::string_view(source));
  ins.bind(2, terms.length);
  ins.bind_blob(3, blob.data(), blob.size());
  ins.step("Indexing a page");
}

}  // namespace

std::uint64_t term_hash(std::string_view term) noexcept { return vorn_core::fnv1a64(term); }

PageTerms count_page_terms(std::string_view title, std::string_view headings, std::string_view content,
                           std::string_view anchors) {
  std::unordered_map<std::uint64_t, float> counts;
  PageTerms page;
  page.length = static_cast<double>(count_terms(title, static_cast<float>(kPageTitleWeight), counts) +
                                    count_terms(headings, static_cast<float>(kPageHeadingWeight), counts) +
                                    count_terms(content, 1.0f, counts) +
                                    count_terms(anchors, static_cast<float>(kPageAnchorWeight), counts));
  page.terms.reserve(counts.size());
  for (const auto& [hash, count] : counts) page.terms.push_back({hash, count});
  std::sort(page.terms.begin(), page.terms.end(),
            [](const TermCount& a, const TermCount& b) { return a.hash < b.hash; });
  return page;
}

std::string encode_page_terms(const std::vector<TermCount>& terms) {
  std::string blob(terms.size() * kEntryBytes, '\0');
  char* out = blob.data();
  for (const TermCount& t : terms) {
    std::uint64_t hash = t.hash;
    std::uint32_t count = std::bit_cast<std::uint32_t>(t.count);
    for (std::size_t i = 0; i < 8; ++i) *out++ = static_cast<char>((hash >> (8 * i)) & 0xFFU);
    for (std::size_t i = 0; i < 4; ++i) *out++ = static_cast<char>((count >> (8 * i)) & 0xFFU);
  }
  return blob;
}

std::optional<float> find_term_count(std::string_view blob, std::uint64_t hash) noexcept {
  const auto* in = reinterpret_cast<const unsigned char*>(blob.data());
  const auto hash_at = [&](std::size_t entry) {
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < 8; ++i) h |= static_cast<std::uint64_t>(in[entry * kEntryBytes + i]) << (8 * i);
    return h;
  };
  std::size_t lo = 0;
  std::size_t hi = blob.size() / kEntryBytes;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (hash_at(mid) < hash) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == blob.size() / kEntryBytes || hash_at(lo) != hash) return std::nullopt;
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < 4; ++i) bits |= static_cast<std::uint32_t>(in[lo * kEntryBytes + 8 + i]) << (8 * i);
  return std::bit_cast<float>(bits);
}

double page_bm25(std::string_view blob, double length, double mean_length, const std::vector<PageQueryTerm>& query) {
  const double norm = kPageK1 * (1.0 - kPageB + kPageB * length / std::max(mean_length, 1e-9));
  double score = 0.0;
  for (const PageQueryTerm& q : query) {
    const std::optional<float> count = find_term_count(blob, q.hash);
    // A negative or non-finite count is not one this index wrote.
    if (!count || !(*count > 0.0f) || !std::isfinite(*count)) continue;
    const double tf = *count;
    score += q.idf * tf * (kPageK1 + 1.0) / (tf + norm);
  }
  return score;
}

void mark_pages_changing(Connection& c, const std::set<std::string>& sources) {
  for (const std::string& source : sources) {
    Stmt mark = c.prepare("INSERT INTO pages_pending(source) VALUES (?1) ON CONFLICT(source) DO NOTHING");
    mark.bind(1, std::string_view(source));
    mark.step("Marking a page for reindexing");
    Stmt del = c.prepare("DELETE FROM pages WHERE source = ?1");
    del.bind(1, std::string_view(source));
    del.step("Removing a page");
  }
}

void index_pending_pages(Connection& c, const std::set<std::string>& except) {
  std::vector<std::string> pending;
  {
    Stmt s = c.prepare("SELECT source FROM pages_pending ORDER BY source");
    while (s.step("Reading the pages to reindex")) {
      std::string source(s.text(0));
      if (!except.contains(source)) pending.push_back(std::move(source));
    }
  }
  for (const std::string& source : pending) {
    index_page(c, source);
    Stmt done = c.prepare("DELETE FROM pages_pending WHERE source = ?1");
    done.bind(1, std::string_view(source));
    done.step("Marking a page as indexed");
  }
}

bool has_pending_pages(Connection& c) {
  return c.query_int("SELECT count(*) FROM pages_pending", "Reading the pages to reindex") > 0;
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

std::vector<double> score_pages(Connection& c, const std::vector<std::string>& sources,
                                const std::vector<PageQueryTerm>& query, double mean_length) {
  std::vector<double> scores(sources.size(), 0.0);
  if (sources.empty() || query.empty()) return scores;
  std::unordered_map<std::string_view, std::size_t> slot;
  for (std::size_t i = 0; i < sources.size(); ++i) slot.emplace(sources[i], i);
  Stmt s = c.prepare("SELECT source, length, terms FROM pages WHERE source IN (SELECT value FROM json_each(?1))");
  const std::string wanted = nlohmann::json(sources).dump();
  s.bind(1, std::string_view(wanted));
  while (s.step("Reading pages")) {
    const auto it = slot.find(s.text(0));
    if (it == slot.end()) continue;
    const auto blob = s.blob(2);
    if (blob.size() % kEntryBytes != 0) raise_corrupt(c.path(), "holds an unreadable page index entry");
    scores[it->second] =
        page_bm25(std::string_view(reinterpret_cast<const char*>(blob.data()), blob.size()), s.real(1), mean_length, query);
  }
  return scores;
}

double mean_page_length(Connection& c) {
  Stmt s = c.prepare("SELECT avg(length) FROM pages");
  const double mean = s.step("Reading page statistics") ? s.real(0) : 0.0;
  return mean > 0.0 ? mean : 1.0;
}

}  // namespace vorn_datastore::sqlite
