// A reranking model (a cross-encoder) behind the rerank endpoint that common
// open-source inference servers expose:
//
//   POST <base>/rerank {"model", "query", "documents": [...], "top_n"}
//   -> {"results": [{"index": 2, "relevance_score": 0.93}, ...]}
//
// A bare list of {"index", "score"} is accepted too, as some servers answer
// that way. The base URL follows the chat client's rules (a bare host gets
// "/v1"). Like the chat and embedding clients, exchanges never block the
// event loop, reuse kept-alive connections, count against the endpoint's
// in-flight limit, retry as the endpoint's policy says within its deadline,
// and never show the key.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "vorn_core/task.hpp"
#include "vorn_inference/openai_endpoint.hpp"

namespace vorn_inference {

namespace detail {
class OpenAITransport;
}

struct RerankClientOptions {
  // Model name as the server knows it; required.
  std::string model;
  OpenAIEndpointOptions endpoint;
  // Longest document sent, in bytes; longer ones are cut on a character
  // boundary. Reranking models read a few hundred tokens at most, and some
  // servers refuse a longer input rather than cut it themselves.
  std::size_t max_document_bytes = 4096;
};

struct RerankScore {
  std::size_t index = 0;  // position in the documents passed
  double score = 0.0;     // higher is more relevant; the scale is the model's
};

struct RerankCallOptions {
  // Only the best `top_n` are asked for; 0 asks for every document.
  std::size_t top_n = 0;
  // The caller's end of the call; the sooner of it and the endpoint's
  // `call_timeout` bounds every attempt and wait.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // Stops the call (the transfer is dropped) with `ModelCancelledError`.
  std::stop_token stop;
};

class RerankClient {
 public:
  // Reads the API key from the environment. Throws `ModelConfigError` for an
  // empty model, a zero document limit, a bad base URL or a missing key the
  // endpoint requires.
  explicit RerankClient(RerankClientOptions options);
  ~RerankClient();
  RerankClient(const RerankClient&) = delete;
  RerankClient& operator=(const RerankClient&) = delete;

  // The documents' scores for the query, best first (ties: lower index
  // first); every document, or the best `top_n`. No request for no
  // documents. The client must outlive the returned task.
  //
  // Throws the transport errors of `OpenAILMInvoker::invoke` and
  // `ModelResponseError` for a reply that is not a list of scores: an index
  // out of range or repeated, a score that is not a finite number, fewer
  // scores than asked for or more than there are documents.
  vorn_core::Task<std::vector<RerankScore>> score(std::string query, std::vector<std::string> documents,
                                                  RerankCallOptions call = {}) const;

  const RerankClientOptions& options() const noexcept { return options_; }
  // Model and base URL; never the key.
  std::string repr() const;

 private:
  RerankClientOptions options_;
  std::unique_ptr<detail::OpenAITransport> transport_;
};

}  // namespace vorn_inference
