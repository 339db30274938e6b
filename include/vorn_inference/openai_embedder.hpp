// An embedding model behind an OpenAI-compatible embeddings endpoint.
//
// Texts go out in batches of `batch_size`; the vectors come back in the
// order of the texts (the endpoint's `index` decides, not the order of its
// list), each checked against the configured dimension. Like the chat
// client, exchanges never block the event loop; the batches of one call are
// on the wire together, within the endpoint's in-flight limit.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "vorn_inference/embedder.hpp"
#include "vorn_inference/openai_endpoint.hpp"

namespace vorn_inference {

namespace detail {
class OpenAITransport;
}

struct OpenAIEmbedderOptions {
  std::string model = "text-embedding-3-small";
  // Length of every vector; a vector of another length is an error.
  std::size_t dimension = 1536;
  // Also send `dimensions`, for models that can shorten their vectors.
  bool send_dimensions = false;
  // Texts per request.
  std::size_t batch_size = 128;
  OpenAIEndpointOptions endpoint;
};

class OpenAIEmbedder : public BaseEmbedder {
 public:
  // Reads the API key from the environment. Throws `ModelConfigError` for an
  // empty model, a zero dimension or batch size, or a bad base URL.
  explicit OpenAIEmbedder(OpenAIEmbedderOptions options);
  ~OpenAIEmbedder() override;

  std::size_t dimension() const noexcept override { return options_.dimension; }

  // One vector per text, in order; no request for no texts. Throws the
  // transport errors of `OpenAILMInvoker::invoke` and `ModelResponseError`
  // for a reply with missing, repeated or out-of-range indexes, a wrong
  // count or a vector of the wrong dimension.
  vorn_core::Task<std::vector<Embedding>> embed(std::vector<std::string> texts) override;

  const OpenAIEmbedderOptions& options() const noexcept { return options_; }
  std::string type_name() const override { return "OpenAIEmbedder"; }
  std::string repr() const override;

 private:
  vorn_core::Task<void> embed_batch(const std::vector<std::string>& texts, std::size_t begin, std::size_t end,
                                    std::vector<Embedding>& out) const;

  OpenAIEmbedderOptions options_;
  std::unique_ptr<detail::OpenAITransport> transport_;
};

}  // namespace vorn_inference
