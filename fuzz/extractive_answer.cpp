// Answering from documents as they come, invalid UTF-8 included: the
// extractive answer picks sentences only from the passages given, cites only
// their ids, and never comes back empty; chunk kinds are judged on any text,
// and reordering retrieved chunks (kinds ranked down, one per page first)
// neither loses nor duplicates a chunk.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "value_from_bytes.hpp"
#include "vorn_inference/extractive.hpp"
#include "vorn_retrieval/chunk_kind.hpp"
#include "vorn_retrieval/page_diversity.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorn_fuzz::ByteReader in(data, size);
  const std::string question = in.bytes(80);
  const std::size_t count = 1 + in.byte() % 4;
  std::vector<vorn_inference::Passage> passages;
  vorn_core::ChunkList chunks;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string page = "p" + std::to_string(in.byte() % 3) + ".md";
    std::string text = i + 1 < count ? in.bytes(255) : in.rest();
    const std::string id = page + "#" + std::to_string(i);
    passages.push_back({id, text, in.done() ? std::string() : "Heading", {}});
    chunks.push_back(vorn_core::make_chunk(id, std::move(text), vorn_core::Dict{{"source", page}},
                                           static_cast<double>(count - i)));
  }

  const vorn_inference::ExtractiveAnswer answer = vorn_inference::extract_answer(question, passages);
  if (answer.text.empty()) __builtin_trap();
  for (const auto& s : answer.sentences) {
    if (s.passage >= passages.size() || s.passage_id != passages[s.passage].id) __builtin_trap();
  }
  for (const auto& id : answer.cited_ids) {
    if (std::none_of(passages.begin(), passages.end(), [&](const auto& p) { return p.id == id; })) __builtin_trap();
  }
  // Every sentence is cited, whether it answers or points elsewhere.
  for (const auto& s : answer.sentences) {
    if (!s.passage_id.empty() &&
        std::find(answer.cited_ids.begin(), answer.cited_ids.end(), s.passage_id) == answer.cited_ids.end()) {
      __builtin_trap();
    }
  }

  for (const auto& c : chunks) {
    const auto kind = vorn_retrieval::classify_chunk(*c);
    if (vorn_retrieval::kind_weight(kind) <= 0.0 || vorn_retrieval::kind_weight(kind) > 1.0) __builtin_trap();
  }
  const auto ids = [](const vorn_core::ChunkList& list) {
    std::vector<std::string> out;
    for (const auto& c : list) out.push_back(c->id);
    std::sort(out.begin(), out.end());
    return out;
  };
  const auto shaped = vorn_retrieval::diversify_by_page(vorn_retrieval::demote_by_kind(chunks), 1 + in.byte() % 2);
  if (ids(shaped) != ids(chunks)) __builtin_trap();
  return 0;
}
