// Private to vorn_inference: reading the decoded answers of the chat, the
// embedding and the rerank endpoints. The clients call these after each
// exchange; they are declared here (not in an anonymous namespace) so that
// whatever an endpoint may send can be fed to them directly, without a
// socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vorn_inference/embedder.hpp"
#include "vorn_inference/lm_invoker.hpp"
#include "vorn_inference/openai_embedder.hpp"
#include "vorn_inference/rerank_client.hpp"

namespace vorn_inference::detail {

class OpenAITransport;

// A chat completion as the invoker's output. Throws `ModelResponseError` for
// a body that is not a chat completion and `StructuredOutputError` when
// `structured` and the answer is no usable JSON (or a refusal).
LMOutputPtr parse_chat_reply(const nlohmann::json& reply, bool structured, const OpenAITransport& transport,
                             const std::string& requested_model);

// The `index` of one item of a reply that lists `seen.size()` inputs, marked
// as seen. Throws what `malformed` makes of the problem for an item without
// an integer `index` or with one out of range or already seen.
template <class Malformed>
std::size_t take_reply_index(const nlohmann::json& item, std::vector<bool>& seen, const Malformed& malformed,
                             const std::string& item_name) {
  const auto index = item.is_object() ? item.find("index") : item.end();
  if (!item.is_object() || index == item.end() || !index->is_number_integer()) {
    throw malformed(item_name + " without an integer `index`");
  }
  const auto i = index->get<std::int64_t>();
  if (i < 0 || static_cast<std::uint64_t>(i) >= seen.size() || seen[static_cast<std::size_t>(i)]) {
    throw malformed("the index " + std::to_string(i) + ", which is out of range or repeated");
  }
  seen[static_cast<std::size_t>(i)] = true;
  return static_cast<std::size_t>(i);
}

// Writes one embedding batch's vectors into out[begin, begin + count).
// Throws `ModelResponseError` for a reply with missing, repeated or
// out-of-range indexes, a wrong count or a vector of the wrong dimension.
void read_embedding_batch(const nlohmann::json& reply, const OpenAIEmbedderOptions& options,
                          const std::string& safe_url, std::vector<Embedding>& out, std::size_t begin,
                          std::size_t count);

// The scores of a rerank reply for `count` documents of which at least
// `expected` must be scored, best first (ties: lower index first). Throws
// `ModelResponseError` for a reply that is neither {"results": [...]} nor a
// bare list of {"index", "relevance_score" or "score"}, an index out of range
// or repeated, a score that is not a finite number, or a wrong count.
std::vector<RerankScore> read_rerank_reply(const nlohmann::json& reply, std::size_t count, std::size_t expected,
                                           const std::string& safe_url);

}  // namespace vorn_inference::detail
