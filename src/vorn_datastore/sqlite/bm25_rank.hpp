// The BM25 ranking function the store registers with FTS5 as vorn_bm25.
//
// Same formula as FTS5's built-in bm25() (k1 = 1.2, b = 0.75, idf clamped to
// a tiny positive value), but document lengths come from an in-memory array
// instead of one docsize lookup per matching row, which dominated query time
// for frequent terms (about 80% of it at 100,000 chunks).
#pragma once

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
// connection, and must not change while a ranked statement steps), and the
// per-connection term statistics view temp.chunks_vocab.
void register_rank_function(Connection& c, const DocLengths* lengths);

// Column weights of the full-text table (title, heading, content = 1).
inline constexpr double kTitleWeight = 2.0;
inline constexpr double kHeadingWeight = 1.5;

// FTS5 stores per-document token counts as SQLite varints, one per column;
// their sum is the document's length.
std::uint32_t varint_sum(std::span<const std::byte> blob) noexcept;

}  // namespace vorn_datastore::sqlite
