// The page index: one full-text row per source page (its title and summary,
// the heading paths of its sections, and the text of all its chunks), kept
// beside the chunk index so that a question whose words are spread over a
// page's several chunks still finds the page that holds them together.
//
// Rows are derived from the chunks table and rebuilt whenever a write
// touches one of the page's chunks: a caller unindexes the touched pages
// before changing chunks and indexes them again after, inside the same
// transaction. Both steps read the page's text from its chunks in the same
// way, which is what lets the contentless table forget exactly the terms it
// indexed.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

struct fts5_api;

namespace vorn_datastore::sqlite {

class Connection;

// Registers vorn_page_bm25, the ranking search_pages uses.
void register_page_rank_function(fts5_api* api, Connection& c);

// Removes the index rows of these pages as their chunks stand now.
void unindex_pages(Connection& c, const std::set<std::string>& sources);

// Indexes these pages from their chunks as they stand now; a page left
// without chunks loses its row.
void index_pages(Connection& c, const std::set<std::string>& sources);

// The pages of the chunks with these ids (chunks without a "source" belong
// to no page).
std::set<std::string> pages_of_ids(Connection& c, const std::vector<std::string>& ids);

struct PageMatch {
  std::string source;
  double score = 0.0;  // BM25, positive, higher is better
};

// The best `top_k` pages for these search terms (OR-ed), best first; ties
// in page order. Title and summary count `title_weight` times a word of the
// text, heading paths `heading_weight` times.
std::vector<PageMatch> search_pages(Connection& c, const std::vector<std::string>& terms, std::size_t top_k);

}  // namespace vorn_datastore::sqlite
