// The query-expansion block: expand the user's query into several queries,
// retrieve for all of them in one batch call, fuse the per-query lists.
#pragma once

#include <memory>
#include <string>

#include "vorn_core/callable.hpp"
#include "vorn_core/object.hpp"
#include "vorn_core/record.hpp"
#include "vorn_core/value.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_rag::blocks::retrieval {

namespace query_expansion {

// State of the pipelines the block builds: `StrategyState` plus
// `chunk_lists` (list[list[Chunk]] | None, absent), the batch retrieval's
// result waiting for fusion.
struct _QueryExpansionState {
  static const vorn_core::SchemaPtr& schema();
  static vorn_core::RecordPtr make(const vorn_core::Dict& values = {});
};

inline constexpr const char* _RETRIEVER_NONE_MSG =
    "Missing `retriever`. Pass a retriever to QueryExpansionPipeline and retry.";

}  // namespace query_expansion

// A configuration holder, not a pipeline: `build` makes a new pipeline each
// time, so one block can serve several strategies and retrievers. It is an
// `Object` so that a strategy slot can hold it.
class QueryExpansionPipeline : public vorn_core::Object {
 public:
  // `transformer` is kept as given, even absent: the built pipeline's
  // "expand_query" step then fails with a clear error when it runs. `fuse_fn`
  // is resolved at once (`RAGValueError` / `RAGTypeError` as
  // `resolve_fusion_fn` raises them).
  explicit QueryExpansionPipeline(vorn_retrieval::QueryTransformerPtr transformer,
                                  const vorn_core::Value& fuse_fn = "rrf");

  // Steps "expand_query", "retrieve_chunks" (the retriever gets the whole
  // query list: its batch mode), "fuse_chunks"; state type
  // `_QueryExpansionState`. Throws `RAGRuntimeError` for an absent retriever.
  vorn_pipeline::PipelinePtr build(vorn_retrieval::RetrieverPtr retriever) const;

  const vorn_retrieval::QueryTransformerPtr& _transformer() const noexcept { return transformer_; }
  const vorn_core::CallablePtr& _fusion_fn() const noexcept { return fusion_fn_; }

  std::string type_name() const override { return "QueryExpansionPipeline"; }

 private:
  vorn_retrieval::QueryTransformerPtr transformer_;
  vorn_core::CallablePtr fusion_fn_;
};
using QueryExpansionPipelinePtr = std::shared_ptr<QueryExpansionPipeline>;

}  // namespace vorn_rag::blocks::retrieval
