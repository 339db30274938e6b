#include "vorn_rag/blocks/retrieval/query_expansion.hpp"

#include <utility>

#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/blocks/retrieval/steps.hpp"
#include "vorn_rag/blocks/retrieval/utils.hpp"
#include "vorn_rag/constants.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/exceptions.hpp"

namespace vorn_rag::blocks::retrieval {

namespace query_expansion {

const vorn_core::SchemaPtr& _QueryExpansionState::schema() {
  using vorn_core::Field;
  using vorn_core::TypeSpec;
  static const vorn_core::SchemaPtr schema = vorn_core::Schema::create(
      "_QueryExpansionState",
      {
          Field::with_default(StateKeys::CHUNK_LISTS,
                              TypeSpec::optional(TypeSpec::list_of(TypeSpec::list_of(TypeSpec::chunk()))),
                              vorn_core::Value(), "Retrieved chunk lists, one per sub-query"),
      },
      core::StrategyState::schema());
  return schema;
}

vorn_core::RecordPtr _QueryExpansionState::make(const vorn_core::Dict& values) { return schema()->make(values); }

}  // namespace query_expansion

QueryExpansionPipeline::QueryExpansionPipeline(vorn_retrieval::QueryTransformerPtr transformer,
                                               const vorn_core::Value& fuse_fn)
    : transformer_(std::move(transformer)), fusion_fn_(utils::resolve_fusion_fn(fuse_fn)) {}

vorn_pipeline::PipelinePtr QueryExpansionPipeline::build(vorn_retrieval::RetrieverPtr retriever) const {
  if (!retriever) throw RAGRuntimeError(query_expansion::_RETRIEVER_NONE_MSG);

  auto expand = vorn_pipeline::step(transformer_, {
                                                      .input_map = {{StateKeys::QUERY, StateKeys::USER_QUERY}},
                                                      .output_state = StateKeys::QUERIES,
                                                      .name = "expand_query",
                                                  });
  auto retrieve = vorn_pipeline::step(std::move(retriever), {
                                                                .input_map =
                                                                    {
                                                                        {StateKeys::QUERY, StateKeys::QUERIES},
                                                                        {StateKeys::QUERY_FILTER, StateKeys::QUERY_FILTER},
                                                                        {StateKeys::TOP_K, StateKeys::TOP_K},
                                                                        {StateKeys::THRESHOLD, StateKeys::THRESHOLD},
                                                                    },
                                                                .output_state = StateKeys::CHUNK_LISTS,
                                                                .name = "retrieve_chunks",
                                                            });
  auto fuse_step = fuse(vorn_core::Value(fusion_fn_), StateKeys::CHUNK_LISTS, StateKeys::CHUNKS, "fuse_chunks");

  auto pipeline = expand | retrieve | fuse_step;
  pipeline = pipeline->with_state_type(query_expansion::_QueryExpansionState::schema());
  return pipeline;
}

}  // namespace vorn_rag::blocks::retrieval
