// Retrieval components: retrievers, rerankers, query transformers and
// relevance filters, as pipeline steps call them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vorn_core/callable.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"

namespace vorn_retrieval {

struct RetrieveOptions {
  std::optional<std::int64_t> top_k;   // absent: the retriever's own default
  std::optional<double> threshold;     // minimum score; absent: no threshold
  vorn_core::Value query_filter;       // metadata filter; absent: none
};

// Reads `top_k`, `threshold` and `query_filter` from step inputs; throws
// `TypeError` for a `top_k` that is not an integer or a `threshold` that is
// not a number.
RetrieveOptions retrieve_options_from(const vorn_core::Dict& inputs);

// Thread safety: instances are shared by concurrent runs; implementations must be safe for concurrent calls.
class BaseRetriever : public vorn_core::Component {
 public:
  // A query string gives a list of Chunk, best first; a list of query
  // strings gives one chunk list per query, in query order (batch mode).
  virtual vorn_core::Task<vorn_core::Value> retrieve(vorn_core::Value query, RetrieveOptions options);

  // Step inputs: query, query_filter, top_k, threshold.
  vorn_core::Task<vorn_core::Value> run(vorn_core::Dict inputs) override;

 protected:
  virtual vorn_core::Task<vorn_core::ChunkList> retrieve_chunks(std::string query, RetrieveOptions options) = 0;
};
using RetrieverPtr = std::shared_ptr<BaseRetriever>;

// Thread safety: instances are shared by concurrent runs; implementations must be safe for concurrent calls.
class BaseReranker : public vorn_core::Component {
 public:
  virtual vorn_core::Task<vorn_core::ChunkList> rerank(vorn_core::ChunkList chunks, std::string query) = 0;
  // Step inputs: chunks, query.
  vorn_core::Task<vorn_core::Value> run(vorn_core::Dict inputs) override;
};
using RerankerPtr = std::shared_ptr<BaseReranker>;

// Thread safety: instances are shared by concurrent runs; implementations must be safe for concurrent calls.
class BaseQueryTransformer : public vorn_core::Component {
 public:
  // An iterable of query strings (normally a list).
  virtual vorn_core::Task<vorn_core::Value> transform(std::string query) = 0;
  // Step input: query.
  vorn_core::Task<vorn_core::Value> run(vorn_core::Dict inputs) override;
};
using QueryTransformerPtr = std::shared_ptr<BaseQueryTransformer>;

// Thread safety: instances are shared by concurrent runs; implementations must be safe for concurrent calls.
class BaseRelevanceFilter : public vorn_core::Component {
 public:
  // The chunks judged relevant to the query.
  virtual vorn_core::Task<vorn_core::ChunkList> filter(vorn_core::ChunkList chunks, std::string query) = 0;
  // Step inputs: chunks, query.
  vorn_core::Task<vorn_core::Value> run(vorn_core::Dict inputs) override;
};
using RelevanceFilterPtr = std::shared_ptr<BaseRelevanceFilter>;

// The text of a `query` input; throws `TypeError` naming the component otherwise.
std::string query_text(const vorn_core::Dict& inputs, std::string_view component);

}  // namespace vorn_retrieval
