// The BM25 ranking function the store registers with FTS5 as vorn_bm25.
//
// Same formula as FTS5's built-in bm25() (k1 = 1.2, b = 0.75, idf clamped to
// a tiny positive value), but document lengths come from an in-memory array
// instead of one docsize lookup per matching row, which dominated query time
// for frequent terms (about 80% of it at 100,000 chunks).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vorn_datastore::sqlite {

class Connection;

// Token count (all columns) per chunks.seq; 0 means unknown (rows written by another
// process since open), which falls back to asking FTS5.
using DocLengths = std::vector<std::uint32_t>;

// Registers vorn_bm25 on `c`, reading `lengths` (which must outlive the
// connection, and must not change while a ranked statement steps), the
// per-connection term statistics view temp.chunks_vocab, and
// vorn_fts_rows / vorn_fts_tokens, which answer the table's row count and
// total token count (all columns) for any row of a MATCH.
void register_rank_function(Connection& c, const DocLengths* lengths);

// Column weights of the full-text table (title, heading, content = 1).
inline constexpr double kTitleWeight = 2.0;
inline constexpr double kHeadingWeight = 1.5;
// Term counts per column (page title and summary, heading path, content),
// BM25F style: a word in the title says more about a chunk than one in
// passing, but not so much that every chunk of a page ties.
inline constexpr double kColumnWeights[] = {kTitleWeight, kHeadingWeight, 1.0};
inline constexpr int kTextColumns = 3;

// The pieces of the score, shared by the ranking function and the in-memory
// text index: both must produce the same doubles, bit for bit, so that ties
// break the same way whichever one answers.
inline constexpr double kBm25K1 = 1.2;
inline constexpr double kBm25B = 0.75;

// `rows` chunks, `hits` of them holding the term. A term in half the chunks
// or more would get a negative or zero weight; it keeps a tiny positive one.
inline double bm25_idf(std::int64_t rows, std::int64_t hits) noexcept {
  double idf = std::log((static_cast<double>(rows - hits) + 0.5) / (static_cast<double>(hits) + 0.5));
  if (idf <= 0.0) idf = 1e-6;
  return idf;
}

// The length normalisation of a chunk of `length` tokens.
inline double bm25_norm(double length, double avg_length) noexcept {
  return kBm25K1 * (1.0 - kBm25B + kBm25B * length / avg_length);
}

// One term's share of a chunk's score; `tf` is its column-weighted count.
inline double bm25_term(double idf, double tf, double norm) noexcept {
  return idf * (tf * (kBm25K1 + 1.0)) / (tf + norm);
}

// FTS5 stores per-document token counts as SQLite varints, one per column;
// their sum is the document's length.
std::uint32_t varint_sum(std::span<const std::byte> blob) noexcept;

}  // namespace vorn_datastore::sqlite
