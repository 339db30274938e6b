// The page index: for each source page, how often each search term occurs
// in it (its title and summary, the heading paths of its sections, the
// text of all its chunks, and what other pages say about it: its chunks'
// "anchor_text"), so that a question whose words are spread over a
// page's several chunks can still be matched against the page as a whole.
//
// A page's row holds its terms as a compact sorted list of (term hash,
// weighted count): scoring a handful of candidate pages reads just their
// rows, one statement, whatever the size of the index. (A full-text table
// of whole pages walked every position of a word on every long page, about
// a millisecond per query.)
//
// Rows are derived from the chunks table. A write that changes a page's
// chunks marks the page pending (in the file, in the same transaction) and
// a later write indexes it again: a document stored in several batches is
// thus read back and counted once, when the writer has moved on, not once
// per batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_datastore::sqlite {

class Connection;

// Marks these pages pending and takes their rows out.
void mark_pages_changing(Connection& c, const std::set<std::string>& sources);

// Indexes every pending page but those in `except` from its chunks as they
// stand now (a page left without chunks gets no row) and clears its mark.
void index_pending_pages(Connection& c, const std::set<std::string>& except = {});

bool has_pending_pages(Connection& c);

// The pages of the chunks with these ids (chunks without a string "source"
// belong to no page).
std::set<std::string> pages_of_ids(Connection& c, const std::vector<std::string>& ids);

// Weighted count of one term on a page.
struct TermCount {
  std::uint64_t hash = 0;  // term_hash of the term
  float count = 0.0f;
};

// A page's terms: counts sorted by hash, and its length in terms.
struct PageTerms {
  std::vector<TermCount> terms;
  double length = 0.0;
};

std::uint64_t term_hash(std::string_view term) noexcept;

// The index terms of a page's text, as the full-text tokenizer makes them
// (Snowball stems of every word, code-like tokens whole as well), counted
// with a title and summary term weighing `kPageTitleWeight`, a heading
// term `kPageHeadingWeight` and a term of what other pages say about it
// (`anchors`) `kPageAnchorWeight` times a term of the text.
PageTerms count_page_terms(std::string_view title, std::string_view headings, std::string_view content,
                           std::string_view anchors = {});

// The stored form of `terms`: per term, its hash (8 bytes) and its count
// (a float's 4 bytes), little-endian, in hash order.
std::string encode_page_terms(const std::vector<TermCount>& terms);

// Weights of the page score. A title word says more about a whole page than
// about one chunk of it: on a page of thousands of words the title's few are
// otherwise lost. Long pages hold a word many times without being about it
// alone, so counts saturate more slowly (k1) and length matters less (b)
// than for chunks (eval/: k1 3, b 0.5 ranked pages better than 1.2 / 0.75
// on all three corpora).
inline constexpr double kPageTitleWeight = 4.0;
inline constexpr double kPageHeadingWeight = 2.0;
// What other pages say about a page is their wording, not the page's: it
// counts as much as the page's own text (eval/: weighed like a heading or
// the summary, 2 or 4, one corpus lost a question; at 1 none did).
inline constexpr double kPageAnchorWeight = 1.0;
inline constexpr double kPageK1 = 3.0;
inline constexpr double kPageB = 0.5;

struct PageQueryTerm {
  std::uint64_t hash = 0;
  double idf = 0.0;
};

// The weighted count stored for `hash` in an encoded term list.
std::optional<float> find_term_count(std::string_view blob, std::uint64_t hash) noexcept;

// BM25F of one page (its encoded term list and length) for these terms,
// given the mean page length.
double page_bm25(std::string_view blob, double length, double mean_length, const std::vector<PageQueryTerm>& query);

// page_bm25 of each of `sources` (0 for a page that is not indexed); one
// statement, reading only these pages' rows.
std::vector<double> score_pages(Connection& c, const std::vector<std::string>& sources,
                                const std::vector<PageQueryTerm>& query, double mean_length);

// Mean length of the indexed pages (1 when there are none).
double mean_page_length(Connection& c);

}  // namespace vorn_datastore::sqlite
