// Weighted reciprocal rank fusion.
#pragma once

#include <span>
#include <vector>

#include "vorn_core/chunk.hpp"
#include "vorn_datastore/row_hit.hpp"

namespace vorn_retrieval {

// Fuses ranked chunk lists (each best first) into one list:
//   score(chunk) = sum over lists holding it of weight / (rank_constant + rank)
// with ranks counted from 1. One entry per chunk id, the first object seen
// kept; a chunk repeated inside one list counts once, at its best rank.
// Sorted by descending score; equal scores keep the order of first
// appearance. Throws `ValueError` when the number of weights differs from
// the number of lists. Chunks are returned as they are (scores untouched).
vorn_core::ChunkList weighted_reciprocal_rank(const std::vector<vorn_core::ChunkList>& chunk_lists,
                                              std::span<const double> weights, double rank_constant = 60.0);

// The same, also returning each fused chunk's score (parallel to the chunks).
struct FusedRanking {
  vorn_core::ChunkList chunks;
  std::vector<double> scores;
};
FusedRanking weighted_reciprocal_rank_scored(const std::vector<vorn_core::ChunkList>& chunk_lists,
                                             std::span<const double> weights, double rank_constant = 60.0);

// The same over hits named by their store row (one store's rows, so a row
// stands for one chunk): one hit per row, best first, each scored by the
// fusion.
std::vector<vorn_datastore::RowHit> weighted_reciprocal_rank_rows(
    const std::vector<std::vector<vorn_datastore::RowHit>>& row_lists, std::span<const double> weights,
    double rank_constant = 60.0);

}  // namespace vorn_retrieval
