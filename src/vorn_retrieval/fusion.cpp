#include "vorn_retrieval/fusion.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "vorn_core/error.hpp"

namespace vorn_retrieval {

namespace {

void check_weights(std::size_t weights, std::size_t lists) {
  if (weights != lists) {
    throw vorn_core::InvalidValueError("Got " + std::to_string(weights) + " weights for " + std::to_string(lists) +
                                       " chunk lists. Pass one weight per list and retry.");
  }
}

// Fuses lists of items that `key_of` identifies; `keep(item)` records an
// entry's first item. Returns the entries' indices best first (ties in
// order of first appearance) and their scores by entry.
template <typename List, typename KeyOf, typename Keep>
std::pair<std::vector<std::uint32_t>, std::vector<double>> fuse(const std::vector<List>& lists,
                                                                std::span<const double> weights,
                                                                double rank_constant, const KeyOf& key_of,
                                                                const Keep& keep) {
  check_weights(weights.size(), lists.size());
  std::size_t total = 0;
  for (const auto& l : lists) total += l.size();

  using Key = decltype(key_of(lists.front().front(), std::size_t{}, std::size_t{}));
  std::unordered_map<Key, std::uint32_t> index;
  index.reserve(total);
  std::vector<double> scores;
  scores.reserve(total);
  std::vector<std::uint32_t> last_list;  // per entry: 1 + the list that last scored it
  last_list.reserve(total);

  for (std::size_t li = 0; li < lists.size(); ++li) {
    const double weight = weights[li];
    const auto& list = lists[li];
    for (std::size_t rank = 0; rank < list.size(); ++rank) {
      auto [it, inserted] = index.try_emplace(key_of(list[rank], li, rank), static_cast<std::uint32_t>(scores.size()));
      if (inserted) {
        keep(list[rank]);
        scores.push_back(0.0);
        last_list.push_back(0);
      }
      const std::uint32_t e = it->second;
      // A repeat inside the same list counts once, at its best (first) rank.
      if (last_list[e] == li + 1) continue;
      last_list[e] = static_cast<std::uint32_t>(li + 1);
      scores[e] += weight / (rank_constant + static_cast<double>(rank + 1));
    }
  }

  std::vector<std::uint32_t> order(scores.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return scores[a] > scores[b]; });
  return {std::move(order), std::move(scores)};
}

}  // namespace

FusedRanking weighted_reciprocal_rank_scored(const std::vector<vorn_core::ChunkList>& chunk_lists,
                                             std::span<const double> weights, double rank_constant) {
  vorn_core::ChunkList chunks;
  // Ids point into the chunks, which outlive this call.
  const auto id_of = [](const vorn_core::ChunkPtr& chunk, std::size_t li, std::size_t rank) -> std::string_view {
    if (!chunk) {
      throw vorn_core::InvalidTypeError("Chunk list " + std::to_string(li) + " holds an absent chunk at rank " +
                                        std::to_string(rank + 1) + ". Pass only chunks and retry.");
    }
    return chunk->id;
  };
  auto [order, scores] =
      fuse(chunk_lists, weights, rank_constant, id_of, [&](const vorn_core::ChunkPtr& c) { chunks.push_back(c); });
  FusedRanking sorted;
  sorted.chunks.reserve(order.size());
  sorted.scores.reserve(order.size());
  for (auto i : order) {
    sorted.chunks.push_back(std::move(chunks[i]));
    sorted.scores.push_back(scores[i]);
  }
  return sorted;
}

std::vector<vorn_datastore::RowHit> weighted_reciprocal_rank_rows(
    const std::vector<std::vector<vorn_datastore::RowHit>>& row_lists, std::span<const double> weights,
    double rank_constant) {
  std::vector<std::int64_t> rows;
  const auto row_of = [](const vorn_datastore::RowHit& h, std::size_t, std::size_t) { return h.row; };
  auto [order, scores] =
      fuse(row_lists, weights, rank_constant, row_of, [&](const vorn_datastore::RowHit& h) { rows.push_back(h.row); });
  std::vector<vorn_datastore::RowHit> sorted;
  sorted.reserve(order.size());
  for (auto i : order) sorted.push_back({rows[i], scores[i]});
  return sorted;
}

vorn_core::ChunkList weighted_reciprocal_rank(const std::vector<vorn_core::ChunkList>& chunk_lists,
                                              std::span<const double> weights, double rank_constant) {
  return weighted_reciprocal_rank_scored(chunk_lists, weights, rank_constant).chunks;
}

}  // namespace vorn_retrieval
