// Full-text and hybrid retrieval over the SQLite store, and the offline
// reranker, relevance filter and query transformer.
#include <gtest/gtest.h>

#include "component_support.hpp"
#include "vorn_core/error.hpp"
#include "vorn_datastore/in_memory_data_store.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"
#include "vorn_retrieval/keyword_query_transformer.hpp"
#include "vorn_retrieval/lexical_relevance_filter.hpp"
#include "vorn_retrieval/lexical_reranker.hpp"
#include "vorn_retrieval/vector_retriever.hpp"

namespace {

using namespace vorn_components_test;
using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Value;
using vorn_core::run_sync;
using vorn_retrieval::RetrieveOptions;

using Ids = std::vector<std::string>;

// Vector order for the query "alpha beta": p, q, r, s (cosines 1, .89, .71,
// .45). BM25 order: r, q, s (p lacks both words). Six fillers keep the two
// words rare and embed to zero.
class RetrieverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto embedder = std::make_shared<TableEmbedder>(std::map<std::string, vorn_inference::Embedding>{
        {"alpha beta", {1, 0, 0}},
        {"Nothing in common with the query.", {1, 0, 0}},
        {"Alpha and beta appear in this sentence.", {1, 0.5F, 0}},
        {"Alpha beta alpha.", {1, 1, 0}},
        {"Beta only.", {1, 2, 0}},
    });
    store_ = vorn_datastore::SqliteDataStore::open(dir_.path() / "store.db", embedder);
    vorn_core::ChunkList chunks{
        vorn_core::make_chunk("p", "Nothing in common with the query.", Dict{{"group", "x"}}),
        vorn_core::make_chunk("q", "Alpha and beta appear in this sentence.", Dict{{"group", "x"}}),
        vorn_core::make_chunk("r", "Alpha beta alpha.", Dict{{"group", "y"}}),
        vorn_core::make_chunk("s", "Beta only.", Dict{{"group", "y"}}),
    };
    for (int i = 0; i < 6; ++i) {
      chunks.push_back(vorn_core::make_chunk("f" + std::to_string(i), "Filler number " + std::to_string(i) + " here.",
                                             Dict{{"group", "z"}}));
    }
    run_sync(store_->ingest(chunks));
  }

  vorn_core::ChunkList retrieve(vorn_retrieval::BaseRetriever& r, std::string query, RetrieveOptions options = {}) {
    return vorn_core::to_chunk_list(run_sync(r.retrieve(Value(std::move(query)), std::move(options))));
  }

  TempDir dir_;
  std::shared_ptr<vorn_datastore::SqliteDataStore> store_;
};

RetrieveOptions top(std::int64_t k, std::optional<double> threshold = {}, Value filter = {}) {
  RetrieveOptions o;
  o.top_k = k;
  o.threshold = threshold;
  o.query_filter = std::move(filter);
  return o;
}

TEST_F(RetrieverTest, FulltextRetrieverRanksByBm25AndHonoursOptions) {
  vorn_retrieval::FulltextRetriever retriever(store_);
  EXPECT_EQ(ids_of(retrieve(retriever, "alpha beta")), (Ids{"r", "q", "s"}));
  EXPECT_EQ(ids_of(retrieve(retriever, "alpha beta", top(1))), (Ids{"r"}));
  EXPECT_EQ(ids_of(retrieve(retriever, "alpha beta", top(5, {}, Dict{{"group", "y"}}))), (Ids{"r", "s"}));
  const auto all = retrieve(retriever, "alpha beta");
  EXPECT_EQ(ids_of(retrieve(retriever, "alpha beta", top(5, *all[1]->score))), (Ids{"r", "q"}));
  EXPECT_THROW(retrieve(retriever, "alpha", top(0)), vorn_core::ValueError);
}

TEST_F(RetrieverTest, BatchModeGivesOneListPerQueryInOrder) {
  vorn_retrieval::FulltextRetriever retriever(store_);
  Dict inputs{{"query", List{Value("beta only"), Value("alpha"), Value("zzz")}}, {"top_k", 1}};
  const auto lists = vorn_core::to_chunk_lists(run_sync(retriever.run(inputs)));
  ASSERT_EQ(lists.size(), 3U);
  EXPECT_EQ(ids_of(lists[0]), (Ids{"s"}));
  EXPECT_EQ(ids_of(lists[1]), (Ids{"r"}));
  EXPECT_TRUE(lists[2].empty());
}

TEST_F(RetrieverTest, HybridFusesRanksWithConfigurableWeights) {
  struct Case {
    double vector_weight;
    double fulltext_weight;
    Ids expected;
  };
  // With equal weights r (3rd and 1st) edges out q (2nd and 2nd); favouring
  // vectors lifts q; without BM25 the order is the vector order.
  for (const Case& c : {Case{1, 1, {"r", "q", "s", "p"}}, Case{3, 1, {"q", "r", "s", "p"}},
                        Case{1, 0, {"p", "q", "r", "s"}}}) {
    SCOPED_TRACE(std::to_string(c.vector_weight) + "/" + std::to_string(c.fulltext_weight));
    vorn_retrieval::HybridRetriever retriever(store_, {.vector_weight = c.vector_weight,
                                                       .fulltext_weight = c.fulltext_weight,
                                                       .rank_constant = 60});
    EXPECT_EQ(ids_of(retrieve(retriever, "alpha beta", top(4))), c.expected);
  }
}

TEST_F(RetrieverTest, HybridScoresAreNormalisedAndFilterable) {
  vorn_retrieval::HybridRetriever retriever(store_, {.vector_weight = 1, .fulltext_weight = 1, .rank_constant = 60});
  const auto hits = retrieve(retriever, "alpha beta", top(4));
  ASSERT_EQ(hits.size(), 4U);
  // r: (1/63 + 1/61) / (2/61); p, first in one list only: exactly one half.
  EXPECT_NEAR(*hits[0]->score, (1.0 / 63 + 1.0 / 61) / (2.0 / 61), 1e-9);
  EXPECT_NEAR(*hits[3]->score, 0.5, 1e-9);
  EXPECT_EQ(ids_of(retrieve(retriever, "alpha beta", top(10, 0.6))), (Ids{"r", "q", "s"}));
  EXPECT_EQ(ids_of(retrieve(retriever, "alpha beta", top(10, {}, Dict{{"group", "x"}}))), (Ids{"q", "p"}));
  EXPECT_EQ(retrieve(retriever, "alpha beta").size(), 5U);  // default top_k
}

TEST_F(RetrieverTest, ConstructionChecksTheStore) {
  auto text_only = vorn_datastore::SqliteDataStore::open(dir_.path() / "store.db", nullptr);
  auto vectors_only = std::make_shared<vorn_datastore::InMemoryDataStore>(
      std::make_shared<vorn_inference::HashingEmbedder>(16), /*fulltext=*/false);
  EXPECT_THROW(vorn_retrieval::FulltextRetriever(nullptr), vorn_core::ValueError);
  EXPECT_THROW(vorn_retrieval::FulltextRetriever{vectors_only}, vorn_core::TypeError);
  EXPECT_THROW(vorn_retrieval::HybridRetriever{text_only}, vorn_core::TypeError);
  EXPECT_THROW(vorn_retrieval::HybridRetriever(store_, {.vector_weight = 0, .fulltext_weight = 0}),
               vorn_core::ValueError);
  EXPECT_THROW(vorn_retrieval::HybridRetriever(store_, {.vector_weight = -1}), vorn_core::ValueError);
  EXPECT_THROW(vorn_retrieval::HybridRetriever(store_, {.rank_constant = -1}), vorn_core::ValueError);
  EXPECT_NO_THROW(vorn_retrieval::FulltextRetriever{text_only});
}

// --- reranker, filter, transformer -----------------------------------------------

TEST(LexicalReranker, MovesChunksThatMatchTheQueryUp) {
  // The retriever ranked the chunk that answers last.
  vorn_core::ChunkList chunks{
      vorn_core::make_chunk("miss", "Pipelines are built once and cached on the strategy."),
      vorn_core::make_chunk("weak", "A store returns chunks."),
      vorn_core::make_chunk("hit", "The reranker reorders retrieved chunks by relevance to the query."),
  };
  vorn_retrieval::LexicalReranker reranker;
  const auto out = run_sync(reranker.rerank(chunks, "How does the reranker reorder retrieved chunks?"));
  // One shared word ("chunks") does not overturn the retriever's order.
  EXPECT_EQ(ids_of(out), (Ids{"hit", "miss", "weak"}));
  // Weighing words only, the weak match beats the miss too.
  const auto lexical_only = run_sync(vorn_retrieval::LexicalReranker({.rank_weight = 0.0})
                                         .rerank(chunks, "How does the reranker reorder retrieved chunks?"));
  EXPECT_EQ(ids_of(lexical_only), (Ids{"hit", "weak", "miss"}));
  for (std::size_t i = 0; i + 1 < out.size(); ++i) EXPECT_GE(*out[i]->score, *out[i + 1]->score);
  EXPECT_FALSE(chunks[2]->score.has_value());  // the inputs are not modified

  // Without lexical evidence the incoming order stands.
  EXPECT_EQ(ids_of(run_sync(reranker.rerank(chunks, "zebra"))), (Ids{"miss", "weak", "hit"}));
  EXPECT_TRUE(run_sync(reranker.rerank({}, "x")).empty());
  EXPECT_THROW(run_sync(reranker.rerank({nullptr}, "x")), vorn_core::TypeError);
  EXPECT_THROW(vorn_retrieval::LexicalReranker({.bm25_weight = -1}), vorn_core::ValueError);
}

TEST(LexicalReranker, HeadingMetadataCountsAsText) {
  vorn_core::ChunkList chunks{
      vorn_core::make_chunk("body", "It judges each chunk and routes the query."),
      vorn_core::make_chunk("titled", "It judges each chunk and routes the query.", Dict{{"heading", "Strategies > CRAG"}}),
  };
  EXPECT_EQ(ids_of(run_sync(vorn_retrieval::LexicalReranker().rerank(chunks, "What does CRAG do?"))),
            (Ids{"titled", "body"}));
}

TEST(LexicalRelevanceFilter, KeepsChunksCoveringEnoughOfTheQuery) {
  vorn_core::ChunkList chunks{
      vorn_core::make_chunk("all", "The indexer skips stored chunks when it resumes."),
      vorn_core::make_chunk("half", "The indexer reads files."),
      vorn_core::make_chunk("none", "Routers pick a branch."),
  };
  const std::string query = "Does the indexer resume?";  // content words: indexer, resume
  struct Case {
    double threshold;
    Ids kept;
  };
  for (const Case& c : {Case{0.0, {"all", "half", "none"}}, Case{0.5, {"all", "half"}}, Case{1.0, {"all"}}}) {
    SCOPED_TRACE(c.threshold);
    EXPECT_EQ(ids_of(run_sync(vorn_retrieval::LexicalRelevanceFilter(c.threshold).filter(chunks, query))), c.kept);
  }
  EXPECT_DOUBLE_EQ(vorn_retrieval::LexicalRelevanceFilter::relevance(query, *chunks[1]), 0.5);
  // Nothing to judge by: everything stays.
  EXPECT_EQ(run_sync(vorn_retrieval::LexicalRelevanceFilter(1.0).filter(chunks, "?!")).size(), 3U);
  EXPECT_THROW(vorn_retrieval::LexicalRelevanceFilter(1.5), vorn_core::ValueError);
  // The step form takes chunk values.
  Dict inputs{{"chunks", vorn_core::to_value(chunks)}, {"query", query}};
  EXPECT_EQ(vorn_core::to_chunk_list(run_sync(vorn_retrieval::LexicalRelevanceFilter(1.0).run(inputs))).size(), 1U);
}

TEST(KeywordQueryTransformer, ExpandsDeterministically) {
  vorn_retrieval::KeywordQueryTransformer transformer;
  struct Case {
    std::string query;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"What is CRAG and how does it route queries?", {"What is CRAG and how does it route queries?",
                                                       "crag route queries", "crag", "route queries"}},
      {"How does the agentic retrieval loop stop", {"How does the agentic retrieval loop stop",
                                                    "agentic retrieval loop stop", "agentic retrieval loop",
                                                    "retrieval loop stop"}},
      {"install debian", {"install debian"}},    // already keywords
      {"What is it?", {"What is it?"}},          // no keywords at all
      {"", {""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(transformer.variants(c.query), c.expected);
  }
  const Value out = run_sync(transformer.transform("What is CRAG and how does it route queries?"));
  ASSERT_TRUE(out.is_list());
  EXPECT_EQ(out.as_list().front(), Value("What is CRAG and how does it route queries?"));
  EXPECT_EQ(vorn_retrieval::KeywordQueryTransformer({.max_queries = 2}).variants(cases[1].query).size(), 2U);
  EXPECT_THROW(vorn_retrieval::KeywordQueryTransformer({.max_queries = 0}), vorn_core::ValueError);
}

}  // namespace
