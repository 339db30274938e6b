// Fusion of 16 ranked lists of 10,000 chunks each, about half of every list
// shared with all the others (85,000 distinct ids in 160,000 entries), with
// the library's rrf and concat fusion. Baseline: one pass that inserts the
// same ids into a std::unordered_map (string_view keys, reserved up front),
// the least any de-duplicating fusion has to do.
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "components.hpp"
#include "harness.hpp"
#include "vorn_rag/blocks/retrieval/utils.hpp"

namespace vorn_bench {
namespace {

namespace fusion = vorn_rag::blocks::retrieval::utils;

constexpr int kLists = 16;
constexpr int kPerList = 10'000;
constexpr int kShared = kPerList / 2;

std::string chunk_id(const char* source, int list, int index) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s-%04d-chunk-%05d", source, list, index);
  return buf;
}

// Even ranks hold the shared chunks (each list in its own rotation, so ranks
// differ between lists), odd ranks the list's own.
std::vector<ChunkList> make_lists() {
  ChunkList shared;
  for (int i = 0; i < kShared; ++i) shared.push_back(vorn_core::make_chunk(chunk_id("shared", 0, i), "text"));
  std::vector<ChunkList> lists(kLists);
  for (int l = 0; l < kLists; ++l) {
    lists[l].reserve(kPerList);
    for (int rank = 0; rank < kPerList; ++rank) {
      if (rank % 2 == 0) {
        lists[l].push_back(shared[(rank / 2 + l * 311) % kShared]);
      } else {
        lists[l].push_back(vorn_core::make_chunk(chunk_id("own", l, rank), "text"));
      }
    }
  }
  return lists;
}

template <class Fuse>
void fusion_loop(benchmark::State& state, Fuse fuse) {
  const std::vector<ChunkList> lists = make_lists();
  AllocMeter meter;
  for (auto _ : state) {
    auto fused = fuse(lists);
    benchmark::DoNotOptimize(fused);
  }
  meter.report(state);
}

std::size_t hash_map_pass(const std::vector<ChunkList>& lists) {
  std::size_t total = 0;
  for (const auto& list : lists) total += list.size();
  std::unordered_map<std::string_view, std::size_t> seen;
  seen.reserve(total);
  std::size_t next = 0;
  for (const auto& list : lists)
    for (const auto& chunk : list) seen.try_emplace(chunk->id, next++);
  return seen.size();
}

}  // namespace

void register_fusion_benchmarks() {
  benchmark::RegisterBenchmark("fusion/rrf", [](benchmark::State& state) {
    fusion_loop(state, [](const std::vector<ChunkList>& lists) { return fusion::rrf_fusion(lists); });
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("fusion/concat", [](benchmark::State& state) {
    fusion_loop(state, [](const std::vector<ChunkList>& lists) { return fusion::concat_fusion(lists); });
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("fusion/hash_map_pass", [](benchmark::State& state) {
    fusion_loop(state, &hash_map_pass);
  })->Unit(benchmark::kMillisecond);
  add_ratio_figure("rrf fusion, 16 x 10,000 chunks", "fusion/rrf", "fusion/hash_map_pass", 2.0);
  add_ratio_figure("concat fusion, 16 x 10,000 chunks", "fusion/concat", "fusion/hash_map_pass", 2.0);
}

}  // namespace vorn_bench
