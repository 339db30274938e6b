// An in-memory copy of the store's full-text index, for processes that
// answer many searches over one snapshot of the file (a server).
//
// It holds, per term, the chunks that contain it with their column-weighted
// term counts, and per chunk its length normalisation, all read from the
// FTS5 index itself (never re-tokenised), so that its ranking gives the same
// hits and the same scores, ties included, as vorn_bm25 over a MATCH of the
// same terms OR-ed together. A search then costs a walk over the postings of
// the query's terms instead of a statement that re-reads them from SQLite
// pages and calls the ranking function once per matching row.
//
// Immutable once loaded; any number of threads may search it at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vorn_datastore::sqlite {

class Connection;

struct RankedRow {
  std::int64_t seq = 0;  // chunks.seq
  double score = 0.0;    // higher is better
};

class TextIndex {
 public:
  // Reads the index of chunks_fts in one read transaction on `c` (which
  // must have the store's ranking functions registered). StoreError on a
  // failed read.
  static TextIndex load(Connection& c);

  // Chunks in the text index (FTS5's own row count).
  std::int64_t rows() const noexcept { return rows_; }
  // How many chunks hold `term`; 0 for a term the index does not know.
  std::int64_t document_frequency(std::string_view term) const;

  // The best `k` chunks holding any of `terms` (distinct), best first; equal
  // scores in ascending seq order.
  std::vector<RankedRow> top(std::span<const std::string> terms, std::size_t k) const;

  // Heap bytes held, for reporting.
  std::size_t memory_bytes() const noexcept;

  // Building blocks of load, open for tests: chunk `seq` has `length`
  // tokens; `term` occurs in it once more, in text column `column`.
  // Chunks must be added in ascending seq order before their terms.
  void add_chunk(std::int64_t seq, std::uint64_t length);
  void add_occurrence(std::string_view term, std::int64_t seq, int column);
  // Fixes the totals the scores use (FTS5's row and token counts) and
  // prepares the postings for searching. Nothing may be added afterwards.
  void finish(std::int64_t rows, std::int64_t total_tokens);

 private:
  struct Posting {
    std::uint32_t doc;  // index into seqs_
    float tf;           // column-weighted count: sums of 2, 1.5 and 1, exact in a float
  };
  struct TransparentHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  struct Term {
    std::vector<Posting> postings;  // ascending doc
  };
  std::uint32_t doc_of(std::int64_t seq) const;

  std::unordered_map<std::string, Term, TransparentHash, std::equal_to<>> terms_;
  std::vector<std::int64_t> seqs_;       // ascending
  std::vector<std::uint64_t> lengths_;   // per doc, until finish
  std::vector<double> norms_;            // per doc, after finish
  std::int64_t rows_ = 0;
  // Where the last occurrence went: occurrences arrive grouped by term and
  // chunk, so most of them add to the posting before.
  Term* last_term_ = nullptr;
  std::string last_term_text_;
};

}  // namespace vorn_datastore::sqlite
