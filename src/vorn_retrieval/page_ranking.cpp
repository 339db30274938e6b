#include "vorn_retrieval/page_ranking.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_map>

#include "vorn_retrieval/page_diversity.hpp"

namespace vorn_retrieval {

std::vector<std::string> pages_in_order(const vorn_core::ChunkList& ranked) {
  std::vector<std::string> pages;
  std::unordered_map<std::string, std::size_t> seen;
  for (const auto& chunk : ranked) {
    if (!chunk) continue;
    std::string page = page_of(*chunk);
    if (seen.try_emplace(page, pages.size()).second) pages.push_back(std::move(page));
  }
  return pages;
}

vorn_core::ChunkList rank_by_page(const vorn_core::ChunkList& ranked, const std::vector<double>& page_scores,
                                  const PageFusion& fusion) {
  vorn_core::ChunkList best;    // each page's first chunk, in page order
  vorn_core::ChunkList others;  // the rest, in their order
  std::unordered_map<std::string, std::size_t> seen;
  for (const auto& chunk : ranked) {
    if (!chunk) continue;
    (seen.try_emplace(page_of(*chunk), best.size()).second ? best : others).push_back(chunk);
  }
  const std::size_t pages = best.size();
  // Page ranks by score; ties keep the chunk ranking's order.
  std::vector<std::size_t> by_score;
  for (std::size_t p = 0; p < pages && p < page_scores.size(); ++p) {
    if (page_scores[p] > 0.0) by_score.push_back(p);
  }
  if (by_score.empty()) {
    vorn_core::ChunkList unchanged;
    for (const auto& chunk : ranked) {
      if (chunk) unchanged.push_back(chunk);
    }
    return unchanged;
  }
  std::stable_sort(by_score.begin(), by_score.end(),
                   [&](std::size_t a, std::size_t b) { return page_scores[a] > page_scores[b]; });
  std::vector<double> fused(pages);
  for (std::size_t p = 0; p < pages; ++p) {
    fused[p] = fusion.chunk_weight / (fusion.rank_constant + static_cast<double>(p + 1));
  }
  for (std::size_t rank = 0; rank < by_score.size(); ++rank) {
    fused[by_score[rank]] += fusion.page_weight / (fusion.rank_constant + static_cast<double>(rank + 1));
  }
  std::vector<std::size_t> order(pages);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return fused[a] > fused[b]; });

  vorn_core::ChunkList out;
  out.reserve(pages + others.size());
  for (std::size_t p : order) out.push_back(best[p]);
  out.insert(out.end(), others.begin(), others.end());
  return out;
}

vorn_core::Task<vorn_core::ChunkList> rank_with_page_scores(vorn_datastore::BaseDataStore& store, std::string query,
                                                            vorn_core::ChunkList ranked, double page_weight) {
  vorn_datastore::PageSearch* search = store.page_search();
  if (search == nullptr || page_weight <= 0.0 || ranked.empty()) co_return ranked;
  const std::vector<double> scores = co_await search->score_pages(std::move(query), pages_in_order(ranked));
  PageFusion fusion;
  fusion.page_weight = page_weight;
  co_return rank_by_page(ranked, scores, fusion);
}

}  // namespace vorn_retrieval
