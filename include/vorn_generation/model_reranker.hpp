// A reranker served by a model: the retrieved chunks are scored against the
// query by a reranking model behind a rerank endpoint (see
// vorn_inference/rerank_client.hpp) and come back best first.
//
// A reranking model judges each query-document pair on its own, so the
// scores of separate requests compare: more chunks than `batch_size` go out
// as several requests at once (within the endpoint's in-flight limit) and
// their scores are merged.
#pragma once

#include <cstddef>
#include <memory>
#include <stop_token>
#include <string>

#include "vorn_inference/rerank_client.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_generation {

struct ModelRerankerOptions {
  vorn_inference::RerankClientOptions client;
  // Chunks per request.
  std::size_t batch_size = 32;
  // Keep at most this many of the best chunks; 0 keeps them all. Each
  // request then asks only for its best `keep`.
  std::size_t keep = 0;
  // Ends every request of every call (ModelCancelledError): what a served
  // request whose client went away hands its reranker.
  std::stop_token stop;
};

class ModelReranker : public vorn_retrieval::BaseReranker {
 public:
  // Throws `ModelConfigError` for a zero batch size and what
  // `RerankClient`'s constructor throws.
  explicit ModelReranker(ModelRerankerOptions options);

  // Copies of the chunks whose `score` is the model's score, best first
  // (ties keep the incoming order); no request for no chunks. Throws
  // `TypeError` for an absent chunk and what `RerankClient::score` throws.
  // Destroying the awaiting frame (a caller's timeout) stops the requests.
  vorn_core::Task<vorn_core::ChunkList> rerank(vorn_core::ChunkList chunks, std::string query) override;

  const ModelRerankerOptions& options() const noexcept { return options_; }
  std::string type_name() const override { return "ModelReranker"; }
  // Model and base URL; never the key.
  std::string repr() const override;

 private:
  ModelRerankerOptions options_;
  std::unique_ptr<vorn_inference::RerankClient> client_;
};

}  // namespace vorn_generation
