// Fusion over adversarial chunk lists: repeated ids inside and across lists,
// empty ids, absent chunks, odd weights and rank constants, and now and then
// a list of tens of thousands of chunks. Each fusion answers one entry per
// id, exactly the ids it was given, or refuses the input with a typed error.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "value_from_bytes.hpp"
#include "vorn_rag/blocks/retrieval/utils.hpp"
#include "vorn_retrieval/fusion.hpp"

namespace {

using vorn_core::ChunkList;
namespace utils = vorn_rag::blocks::retrieval::utils;

// Few distinct ids, so repeats are common; "" is one of them.
std::string pool_id(std::uint8_t b) { return b % 9 == 0 ? std::string() : "c" + std::to_string(b % 23); }

bool has_absent(const std::vector<ChunkList>& lists) {
  for (const auto& l : lists)
    for (const auto& c : l)
      if (!c) return true;
  return false;
}

std::unordered_set<std::string> ids_in(const std::vector<ChunkList>& lists) {
  std::unordered_set<std::string> out;
  for (const auto& l : lists)
    for (const auto& c : l)
      if (c) out.insert(c->id);
  return out;
}

// One entry per id, and the same ids as the input.
void check_fused(const ChunkList& fused, const std::unordered_set<std::string>& expected, const char* what) {
  std::unordered_set<std::string> seen;
  for (const auto& c : fused) {
    if (!c) vorn_fuzz::violated(what);
    if (!seen.insert(c->id).second) vorn_fuzz::violated(what);
  }
  if (seen != expected) vorn_fuzz::violated(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorn_fuzz::ByteReader in(data, size);
  vorn_fuzz::ValueDecoder numbers(in);
  std::vector<ChunkList> lists(in.byte() % 6);
  for (auto& list : lists) {
    const std::uint8_t shape = in.byte();
    if (shape == 0xFF) {
      // A long list: thousands of chunks over a few hundred ids. (A million
      // chunks go through fusion in the reliability tests; here the time
      // is better spent on many different inputs.)
      const std::size_t n = 2'000 + (in.byte() * 40);
      list.reserve(n);
      for (std::size_t i = 0; i < n; ++i) list.push_back(vorn_core::make_chunk("h" + std::to_string(i % 700)));
      continue;
    }
    for (std::size_t i = 0, n = shape % 17; i < n; ++i) {
      const std::uint8_t b = in.byte();
      if (b == 0xFE) {
        list.push_back(nullptr);
      } else {
        list.push_back(vorn_core::make_chunk(pool_id(b), "text"));
      }
    }
  }
  const bool absent = has_absent(lists);
  const auto expected = ids_in(lists);

  // rrf with an arbitrary rank constant, concat, and weighted fusion with
  // arbitrary (sometimes miscounted) weights.
  const std::int64_t k = numbers.integer();
  try {
    check_fused(utils::rrf_fusion(lists, k), expected, "rrf_fusion");
    if (absent) vorn_fuzz::violated("rrf_fusion took an absent chunk");
  } catch (const vorn_core::TypeError&) {
    if (!absent) vorn_fuzz::violated("rrf_fusion refused chunks that are all there");
  }

  try {
    const ChunkList fused = utils::concat_fusion(lists);
    check_fused(fused, expected, "concat_fusion");
    if (absent) vorn_fuzz::violated("concat_fusion took an absent chunk");
    // First appearance order.
    std::unordered_set<std::string> seen;
    std::size_t pos = 0;
    for (const auto& l : lists)
      for (const auto& c : l)
        if (seen.insert(c->id).second && fused[pos++]->id != c->id) vorn_fuzz::violated("concat_fusion reordered");
  } catch (const vorn_core::TypeError&) {
    if (!absent) vorn_fuzz::violated("concat_fusion refused chunks that are all there");
  }

  std::vector<double> weights(lists.size());
  for (auto& w : weights) w = numbers.floating();
  if (in.flag()) weights.push_back(1.0);
  const bool miscounted = weights.size() != lists.size();
  try {
    check_fused(vorn_retrieval::weighted_reciprocal_rank(lists, weights, numbers.floating()), expected,
                "weighted_reciprocal_rank");
    if (miscounted || absent) vorn_fuzz::violated("weighted_reciprocal_rank took bad input");
  } catch (const vorn_core::ValueError&) {
    if (!miscounted) vorn_fuzz::violated("weighted_reciprocal_rank refused matching weights");
  } catch (const vorn_core::TypeError&) {
    if (!absent) vorn_fuzz::violated("weighted_reciprocal_rank refused chunks that are all there");
  }

  // The dynamic entry point, as a pipeline state hands the lists over.
  try {
    vorn_core::CallResult result = utils::apply_fusion(*utils::rrf_fusion_fn(), vorn_core::to_value(lists));
    if (absent) vorn_fuzz::violated("the fusion callable took an absent chunk");
    check_fused(vorn_core::to_chunk_list(result.value()), expected, "rrf_fusion_fn");
  } catch (const vorn_core::TypeError&) {
    if (!absent) vorn_fuzz::violated("the fusion callable refused chunks that are all there");
  }
  return 0;
}
