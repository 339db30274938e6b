// The model clients' handling of whatever an endpoint answers: any status,
// any body, whole or streamed as server-sent events, read as a chat reply,
// embeddings and rerank scores. The answer ends as a decoded reply or as one
// of the typed errors of the inference family, and no message ever holds the
// API key, even when the body quotes it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chat_stream.hpp"
#include "openai_replies.hpp"
#include "openai_transport.hpp"
#include "value_from_bytes.hpp"
#include "vorn_inference/errors.hpp"

namespace {

constexpr const char* kKeyVariable = "VORN_FUZZ_API_KEY";
constexpr const char* kKey = "sk-fuzz-0123456789abcdef";

const vorn_inference::detail::OpenAITransport& transport() {
  static const vorn_inference::detail::OpenAITransport t = [] {
    ::setenv(kKeyVariable, kKey, 1);
    return vorn_inference::detail::OpenAITransport(
        vorn_inference::OpenAIEndpointOptions{.base_url = "http://127.0.0.1:9/v1", .api_key_env = kKeyVariable});
  }();
  return t;
}

void check_message(const vorn_core::BaseError& e) {
  if (e.message().find(kKey) != std::string::npos) vorn_fuzz::violated("an error message holds the API key");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorn_fuzz::ByteReader in(data, size);
  vorn_inference::HttpResponse response;
  // Mostly real statuses, sometimes anything at all.
  const std::uint8_t pick = in.byte();
  const std::uint8_t raw_high = in.byte();
  const std::uint8_t raw_low = in.byte();
  const std::uint16_t raw = static_cast<std::uint16_t>((raw_high << 8) | raw_low);
  static constexpr long kCommon[] = {200, 201, 204, 400, 401, 403, 404, 408, 429, 500, 502, 503};
  response.status = pick < 200 ? kCommon[pick % std::size(kCommon)] : static_cast<long>(raw);
  const std::uint8_t flags = in.byte();
  response.body = in.rest();
  const vorn_inference::detail::OpenAITransport& t = transport();

  // The body as a streamed chat reply, fed in pieces of 1 to 64 bytes: it
  // ends as an answer whose text is exactly what the sink heard, or as a
  // typed error.
  {
    std::string heard;
    vorn_inference::detail::ChatStreamReader reader(t, "fuzz-model", [&heard](std::string_view piece) {
      heard.append(piece);
    });
    const std::size_t piece = 1 + (raw_low & 0x3F);
    try {
      for (std::size_t at = 0; at < response.body.size(); at += piece) {
        reader.feed(std::string_view(response.body).substr(at, piece));
      }
      auto output = reader.finish();
      if (!output) vorn_fuzz::violated("a stream ended with no output and no error");
      if (output->response != heard) vorn_fuzz::violated("the streamed pieces differ from the answer");
    } catch (const vorn_inference::InferenceError& e) {
      check_message(e);
    }
  }

  nlohmann::json reply;
  try {
    reply = vorn_inference::detail::decode_response(t, "/chat/completions", response);
  } catch (const vorn_inference::InferenceError& e) {
    check_message(e);
    return 0;
  }
  if (response.status < 200 || response.status >= 300) vorn_fuzz::violated("a failure status was taken as success");

  try {
    auto output = vorn_inference::detail::parse_chat_reply(reply, (flags & 1) != 0, t, "fuzz-model");
    if (!output) vorn_fuzz::violated("no output and no error");
  } catch (const vorn_inference::InferenceError& e) {
    check_message(e);
  }

  vorn_inference::OpenAIEmbedderOptions options;
  options.dimension = 1 + (flags >> 6);
  const std::size_t count = (flags >> 1) % 5;
  std::vector<vorn_inference::Embedding> out(count + 1);
  try {
    vorn_inference::detail::read_embedding_batch(reply, options, t.safe_url("/embeddings"), out, 1, count);
    for (std::size_t i = 1; i <= count; ++i) {
      if (out[i].size() != options.dimension) vorn_fuzz::violated("an accepted embedding has the wrong size");
    }
  } catch (const vorn_inference::InferenceError& e) {
    check_message(e);
  }

  // The same reply as rerank scores: every accepted list names each of its
  // documents at most once, with a finite score, best first.
  const std::size_t documents = 1 + ((flags >> 3) & 7);
  const std::size_t expected = (flags >> 6) % (documents + 1);
  try {
    const auto scores = vorn_inference::detail::read_rerank_reply(reply, documents, expected, t.safe_url("/rerank"));
    if (scores.size() < expected || scores.size() > documents) vorn_fuzz::violated("a wrong number of scores");
    std::vector<bool> seen(documents, false);
    for (std::size_t i = 0; i < scores.size(); ++i) {
      if (scores[i].index >= documents || seen[scores[i].index]) vorn_fuzz::violated("a bad or repeated index");
      seen[scores[i].index] = true;
      if (!std::isfinite(scores[i].score)) vorn_fuzz::violated("a score that is not finite");
      if (i > 0 && scores[i].score > scores[i - 1].score) vorn_fuzz::violated("scores out of order");
    }
  } catch (const vorn_inference::InferenceError& e) {
    check_message(e);
  }
  return 0;
}
