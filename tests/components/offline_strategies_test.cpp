// The offline components inside the library's strategies, unchanged: the
// SQLite store, lexical filter and reranker, keyword expansion and the
// extractive answerer answer real questions without a model.
#include <gtest/gtest.h>

#include "component_support.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_generation/extractive_answerer.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_generation/prompt_builder.hpp"
#include "vorn_inference/extractive_lm_invoker.hpp"
#include "vorn_rag/blocks/retrieval/query_expansion.hpp"
#include "vorn_rag/strategies/crag.hpp"
#include "vorn_rag/strategies/map_reduce_rag.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"
#include "vorn_retrieval/keyword_query_transformer.hpp"
#include "vorn_retrieval/lexical_relevance_filter.hpp"
#include "vorn_retrieval/lexical_reranker.hpp"
#include "vorn_retrieval/vector_retriever.hpp"

namespace {

using namespace vorn_components_test;
using vorn_core::Dict;
using vorn_core::run_sync;

class OfflineStrategies : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = vorn_datastore::SqliteDataStore::open(dir_.path() / "store.db",
                                                   std::make_shared<vorn_inference::HashingEmbedder>(256));
    run_sync(store_->ingest({
        vorn_core::make_chunk("install#0", "Install the dependencies with the setup script. It needs root.",
                              Dict{{"source", "install.md"}}),
        vorn_core::make_chunk("backup#0", "Backups run every night at two. Each backup keeps thirty days of history.",
                              Dict{{"source", "ops.md"}}),
        vorn_core::make_chunk("restore#0", "To restore a backup, stop the service and copy the snapshot back.",
                              Dict{{"source", "ops.md"}}),
        vorn_core::make_chunk("logs#0", "Logs rotate weekly and are compressed.", Dict{{"source", "ops.md"}}),
    }));
  }

  TempDir dir_;
  std::shared_ptr<vorn_datastore::SqliteDataStore> store_;
  std::shared_ptr<vorn_generation::ExtractiveAnswerer> answerer_ =
      std::make_shared<vorn_generation::ExtractiveAnswerer>(vorn_inference::ExtractiveOptions{.max_sentences = 1});
};

TEST_F(OfflineStrategies, NaiveRagWithFilterAndReranker) {
  auto rag = std::make_shared<vorn_rag::strategies::NaiveRAG>(
      std::make_shared<vorn_retrieval::HybridRetriever>(store_), answerer_);
  rag->with_relevance_filter(std::make_shared<vorn_retrieval::LexicalRelevanceFilter>())
      .with_reranker(std::make_shared<vorn_retrieval::LexicalReranker>());
  const Dict state = rag->run("How do I restore a backup?", 4);
  EXPECT_EQ(state.at("response").as_string(),
            "To restore a backup, stop the service and copy the snapshot back. [restore#0]");
  // The filter dropped the chunks that mention neither word.
  for (const auto& c : vorn_core::to_chunk_list(state.at("chunks"))) EXPECT_NE(c->id, "install#0");

  Dict options;
  options.set("query_filter", Dict{{"source", "install.md"}});
  const Dict filtered = rag->run("How do I restore a backup?", 4, options);
  EXPECT_EQ(filtered.at("response").as_string(), std::string(vorn_inference::kNoPassagesAnswer));
}

TEST_F(OfflineStrategies, KeywordExpansionThroughBatchRetrievalAndMapReduce) {
  auto transformer = std::make_shared<vorn_retrieval::KeywordQueryTransformer>();
  auto retriever = std::make_shared<vorn_retrieval::FulltextRetriever>(store_);

  auto naive = std::make_shared<vorn_rag::strategies::NaiveRAG>(retriever, answerer_);
  naive->with_query_expansion(std::make_shared<vorn_rag::blocks::retrieval::QueryExpansionPipeline>(transformer));
  EXPECT_EQ(naive->run("When do backups run, and how long is history kept?", 3).at("response").as_string(),
            "Backups run every night at two. [backup#0]");

  vorn_rag::strategies::MapReduceRAG map_reduce(transformer, retriever, answerer_);
  const Dict state = map_reduce.run("When do backups run, and how long is history kept?");
  EXPECT_EQ(state.at("response").as_string(), "Backups run every night at two. [backup#0]");
  EXPECT_GE(state.at("queries").as_list().size(), 3U);
}

TEST_F(OfflineStrategies, CragWithExtractiveModelRoutesOnTheLexicalJudgement) {
  auto lm = std::make_shared<vorn_inference::ExtractiveLMInvoker>(vorn_inference::ExtractiveOptions{.max_sentences = 1});
  auto synthesizer = vorn_generation::ResponseSynthesizer::stuff(std::make_shared<vorn_generation::LMRequestProcessor>(
      std::make_shared<vorn_generation::PromptBuilder>("", "Context: {context}\n\nQuestion: {query}\n\nAnswer:"), lm));
  vorn_rag::strategies::CRAG crag(std::make_shared<vorn_retrieval::VectorRetriever>(store_), synthesizer);
  crag.with_relevance_evaluator(std::make_shared<vorn_retrieval::LexicalRelevanceFilter>());

  const Dict some = crag.run("How do I restore a backup?", 3);
  EXPECT_EQ(some.at("retrieval_decision"), vorn_core::Value("ambiguous"));
  EXPECT_EQ(some.at("response").as_string(),
            "To restore a backup, stop the service and copy the snapshot back. [restore#0]");

  const Dict none = crag.run("Which colour is the logo?", 2);
  EXPECT_EQ(none.at("retrieval_decision"), vorn_core::Value("irrelevant"));
}

}  // namespace
