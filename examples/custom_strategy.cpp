// A strategy of your own: one optional slot, a pipeline of two steps, and the
// run/arun entry points inherited from Strategy. In-memory components keep
// the example self-contained.
#include <iostream>

#include "vorn_core/chunk.hpp"
#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/core.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace {

using vorn_core::ChunkList;
using vorn_core::Task;
using vorn_core::Value;

class KeywordRetriever : public vorn_retrieval::BaseRetriever {
 protected:
  Task<ChunkList> retrieve_chunks(std::string query, vorn_retrieval::RetrieveOptions) override {
    ChunkList all = {vorn_core::make_chunk("rrf", "Reciprocal rank fusion adds 1 / (k + rank) over lists."),
                     vorn_core::make_chunk("crag", "Corrective RAG routes on a relevance judgement.")};
    ChunkList hits;
    for (const auto& c : all)
      if (c->content.find(query.substr(0, 4)) != std::string::npos || c->id == query) hits.push_back(c);
    co_return hits.empty() ? all : hits;
  }
};

class FirstChunkSynthesizer : public vorn_generation::ResponseSynthesizer {
 public:
  Task<Value> synthesize(std::string, ChunkList chunks) override {
    co_return chunks.empty() ? Value() : Value(chunks.front()->content + " [" + chunks.front()->id + "]");
  }
};

// Retrieve, then synthesize; a reranker slot that the pipeline uses when set.
class TwoStepRAG : public vorn_rag::core::Strategy {
 public:
  VORN_STRATEGY_CLASS(TwoStepRAG)

  TwoStepRAG(vorn_retrieval::RetrieverPtr retriever, vorn_generation::ResponseSynthesizerPtr synthesizer)
      : Strategy(klass()), retriever_(std::move(retriever)), synthesizer_(std::move(synthesizer)) {}

 protected:
  vorn_rag::core::PipelinePtr _build_pipeline() override {
    using namespace vorn_pipeline;
    auto pipeline = step(retriever_, {.input_map = {{"query", "user_query"}, {"top_k", "top_k"}},
                                      .output_state = "chunks",
                                      .name = "retrieve"}) |
                    step(synthesizer_, {.input_map = {{"query", "user_query"}, {"chunks", "chunks"}},
                                        .output_state = "response",
                                        .name = "synthesize"});
    pipeline = pipeline->with_state_type(vorn_rag::core::StrategyState::schema());
    return pipeline;
  }

 private:
  vorn_retrieval::RetrieverPtr retriever_;
  vorn_generation::ResponseSynthesizerPtr synthesizer_;
};

const vorn_rag::core::StrategyClassPtr& TwoStepRAG::klass() {
  using vorn_rag::core::TypeHint;
  static const auto k = vorn_rag::core::StrategyMeta::create({
      .name = "TwoStepRAG",
      .doc = "Retrieve, then answer from the first chunk.",
      .bases = {Strategy::klass()},
      .declarations = {{"reranker", TypeHint::optional(TypeHint::instance_of<vorn_retrieval::BaseReranker>(
                                        "BaseReranker"))}},
      .body = {{"reranker", Value(vorn_rag::core::uses("Optional reranker (unused by this example)"))}},
  });
  return k;
}

}  // namespace

int main() {
  auto rag = std::make_shared<TwoStepRAG>(std::make_shared<KeywordRetriever>(), std::make_shared<FirstChunkSynthesizer>());
  std::cout << TwoStepRAG::describe() << "\n\n";
  vorn_core::Dict state = rag->run("Reciprocal rank fusion?", 3);
  std::cout << "answer: " << state.at("response").str() << "\n";
  return state.at("response").is_none() ? 1 : 0;
}
