#include "vorn_retrieval/page_ranking.hpp"

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <string>
#include <unordered_map>

#include "vorn_retrieval/page_diversity.hpp"

namespace vorn_retrieval {

vorn_core::ChunkList rank_by_page(const vorn_core::ChunkList& ranked,
                                  const std::vector<vorn_datastore::PageScore>& pages, const PageFusion& fusion) {
  std::vector<const vorn_core::ChunkPtr*> kept;
  std::vector<std::size_t> page_slot;  // per kept chunk: its page's index in `score`
  std::unordered_map<std::string, std::size_t> slot_of;
  std::vector<double> score;
  kept.reserve(ranked.size());
  page_slot.reserve(ranked.size());
  for (const auto& chunk : ranked) {
    if (!chunk) continue;
    auto [it, inserted] = slot_of.try_emplace(page_of(*chunk), score.size());
    if (inserted) {
      score.push_back(fusion.chunk_weight / (fusion.rank_constant + static_cast<double>(score.size() + 1)));
    }
    kept.push_back(&chunk);
    page_slot.push_back(it->second);
  }
  for (std::size_t rank = 0; rank < pages.size(); ++rank) {
    const auto it = slot_of.find(pages[rank].source);
    if (it != slot_of.end()) {
      score[it->second] += fusion.page_weight / (fusion.rank_constant + static_cast<double>(rank + 1));
    }
  }
  // Pages by score; a tie goes to the page whose best chunk ranked first.
  std::vector<std::size_t> order(score.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return score[a] > score[b]; });
  std::vector<std::size_t> place(score.size());
  for (std::size_t i = 0; i < order.size(); ++i) place[order[i]] = i;

  std::vector<std::size_t> chunk_order(kept.size());
  std::iota(chunk_order.begin(), chunk_order.end(), std::size_t{0});
  std::stable_sort(chunk_order.begin(), chunk_order.end(),
                   [&](std::size_t a, std::size_t b) { return place[page_slot[a]] < place[page_slot[b]]; });
  vorn_core::ChunkList out;
  out.reserve(kept.size());
  for (std::size_t i : chunk_order) out.push_back(*kept[i]);
  return out;
}

vorn_core::Task<vorn_core::ChunkList> rank_with_page_search(vorn_datastore::BaseDataStore& store, std::string query,
                                                            vorn_core::ChunkList ranked, std::size_t depth,
                                                            double page_weight) {
  vorn_datastore::PageSearch* search = store.page_search();
  if (search == nullptr || page_weight <= 0.0 || ranked.empty()) co_return ranked;
  const std::vector<vorn_datastore::PageScore> pages = co_await search->search_pages(std::move(query), depth);
  PageFusion fusion;
  fusion.page_weight = page_weight;
  if (const char* k = std::getenv("VORN_PAGE_K")) fusion.rank_constant = std::atof(k);
  if (const char* w = std::getenv("VORN_PAGE_W")) fusion.page_weight = std::atof(w);
  co_return rank_by_page(ranked, pages, fusion);
}

}  // namespace vorn_retrieval
