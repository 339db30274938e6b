#include "vorn_retrieval/fusion.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "vorn_core/error.hpp"

namespace vorn_retrieval {

FusedRanking weighted_reciprocal_rank_scored(const std::vector<vorn_core::ChunkList>& chunk_lists,
                                             std::span<const double> weights, double rank_constant) {
  if (weights.size() != chunk_lists.size()) {
    throw vorn_core::InvalidValueError("Got " + std::to_string(weights.size()) + " weights for " +
                                std::to_string(chunk_lists.size()) + " chunk lists. Pass one weight per list and retry.");
  }
  std::size_t total = 0;
  for (const auto& l : chunk_lists) total += l.size();

  // Entry index by id; ids point into the chunks, which outlive this call.
  std::unordered_map<std::string_view, std::uint32_t> index;
  index.reserve(total);
  FusedRanking out;
  out.chunks.reserve(total);
  out.scores.reserve(total);
  std::vector<std::uint32_t> last_list;  // per entry: 1 + the list that last scored it
  last_list.reserve(total);

  for (std::size_t li = 0; li < chunk_lists.size(); ++li) {
    const double weight = weights[li];
    const auto& list = chunk_lists[li];
    for (std::size_t rank = 0; rank < list.size(); ++rank) {
      const auto& chunk = list[rank];
      if (!chunk) {
        throw vorn_core::InvalidTypeError("Chunk list " + std::to_string(li) + " holds an absent chunk at rank " +
                                   std::to_string(rank + 1) + ". Pass only chunks and retry.");
      }
      auto [it, inserted] = index.try_emplace(chunk->id, static_cast<std::uint32_t>(out.chunks.size()));
      if (inserted) {
        out.chunks.push_back(chunk);
        out.scores.push_back(0.0);
        last_list.push_back(0);
      }
      const std::uint32_t e = it->second;
      // A repeat inside the same list counts once, at its best (first) rank.
      if (last_list[e] == li + 1) continue;
      last_list[e] = static_cast<std::uint32_t>(li + 1);
      out.scores[e] += weight / (rank_constant + static_cast<double>(rank + 1));
    }
  }

  std::vector<std::uint32_t> order(out.chunks.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return out.scores[a] > out.scores[b]; });
  FusedRanking sorted;
  sorted.chunks.reserve(order.size());
  sorted.scores.reserve(order.size());
  for (auto i : order) {
    sorted.chunks.push_back(std::move(out.chunks[i]));
    sorted.scores.push_back(out.scores[i]);
  }
  return sorted;
}

vorn_core::ChunkList weighted_reciprocal_rank(const std::vector<vorn_core::ChunkList>& chunk_lists,
                                              std::span<const double> weights, double rank_constant) {
  return weighted_reciprocal_rank_scored(chunk_lists, weights, rank_constant).chunks;
}

}  // namespace vorn_retrieval
