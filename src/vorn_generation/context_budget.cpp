#include "vorn_generation/context_budget.hpp"

#include <algorithm>

namespace vorn_generation {
namespace {

constexpr std::string_view kSeparator = "\n\n";
constexpr std::string_view kCutMark = " [...]";
// Less room than this is not worth a shortened passage: the chunk is
// dropped instead.
constexpr std::size_t kShortestUsefulPassage = 200;

// Bytes of the "[id] " header `format_context` puts before a chunk.
std::size_t header_size(const vorn_core::Chunk& chunk) { return chunk.id.size() + 3; }

// The longest prefix of `text` of at most `limit` bytes that ends on a
// character boundary.
std::string_view utf8_prefix(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

std::string join_ids(const std::vector<std::string>& ids) {
  std::string out;
  for (const auto& id : ids) out += (out.empty() ? "" : ", ") + id;
  return "[" + out + "]";
}

}  // namespace

std::string ContextCut::describe() const {
  std::string out = "context budget " + std::to_string(budget) + " bytes:";
  if (empty()) return out + " everything fitted";
  if (!shortened.empty()) out += " shortened " + join_ids(shortened) + (dropped.empty() ? "" : ",");
  if (!dropped.empty()) {
    out += " dropped " + std::to_string(dropped.size()) + (dropped.size() == 1 ? " chunk " : " chunks ");
    // A long tail of ids says nothing more than the count.
    std::vector<std::string> shown(dropped.begin(), dropped.begin() + std::min<std::size_t>(dropped.size(), 10));
    out += join_ids(shown);
    if (shown.size() < dropped.size()) out.insert(out.size() - 1, ", ...");
  }
  return out + " (" + std::to_string(bytes_removed) + " bytes left out)";
}

FittedContext fit_context(const vorn_core::ChunkList& chunks, std::size_t budget) {
  FittedContext fitted;
  fitted.cut.budget = budget;
  std::size_t used = 0;
  bool full = false;
  for (const auto& chunk : chunks) {
    if (!chunk) continue;
    if (full) {
      fitted.cut.dropped.push_back(chunk->id);
      fitted.cut.bytes_removed += chunk->content.size();
      continue;
    }
    const std::size_t separator = fitted.chunks.empty() ? 0 : kSeparator.size();
    const std::size_t cost = separator + header_size(*chunk) + chunk->content.size();
    if (used + cost <= budget) {
      fitted.chunks.push_back(chunk);
      used += cost;
      continue;
    }
    full = true;
    const std::size_t fixed = separator + header_size(*chunk) + kCutMark.size();
    const std::size_t room = used + fixed < budget ? budget - used - fixed : 0;
    if (room < std::min(kShortestUsefulPassage, chunk->content.size())) {
      fitted.cut.dropped.push_back(chunk->id);
      fitted.cut.bytes_removed += chunk->content.size();
      continue;
    }
    auto shortened = vorn_core::make_chunk(chunk->id, std::string(utf8_prefix(chunk->content, room)), chunk->metadata,
                                           chunk->score);
    fitted.cut.bytes_removed += chunk->content.size() - shortened->content.size();
    shortened->content += kCutMark;
    fitted.cut.shortened.push_back(chunk->id);
    used += separator + header_size(*chunk) + shortened->content.size();
    fitted.chunks.push_back(std::move(shortened));
  }
  return fitted;
}

}  // namespace vorn_generation
