// The SQLite data store through the data-store interfaces, on temporary files.
#include <gtest/gtest.h>

#include "component_support.hpp"
#include "vorn_core/error.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"

namespace {

using namespace vorn_components_test;
using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Value;
using vorn_core::run_sync;
using vorn_datastore::CapabilityType;
using vorn_datastore::SearchRequest;
using vorn_datastore::SqliteDataStore;
using vorn_datastore::StoreError;

// Four chunks on the axes of a 3-d space plus one between two axes; the
// queries embed to the vectors listed.
std::shared_ptr<TableEmbedder> axis_embedder() {
  return std::make_shared<TableEmbedder>(std::map<std::string, vorn_inference::Embedding>{
      {"Install the package on Debian with apt.", {1, 0, 0}},
      {"Paketinstallation unter Debian mit apt.", {0, 1, 0}},
      {"Configure the server port in the config file.", {0, 0, 1}},
      {"Debian and Ubuntu share the apt package manager.", {1, 1, 0}},
      {"mostly x", {1, 0.2F, 0}},
      {"y", {0, 1, 0}},
  });
}

vorn_core::ChunkList corpus() {
  Dict nested;
  nested.set("k", List{Value(1), Value("two")});
  return {
      vorn_core::make_chunk("a", "Install the package on Debian with apt.", Dict{{"lang", "en"}, {"year", 2020}}),
      vorn_core::make_chunk("b", "Paketinstallation unter Debian mit apt.", Dict{{"lang", "de"}, {"year", 2021}}),
      vorn_core::make_chunk("c", "Configure the server port in the config file.", Dict{{"lang", "en"}, {"year", 2021.0}}),
      vorn_core::make_chunk("d", "Debian and Ubuntu share the apt package manager.",
                            Dict{{"lang", "en"}, {"draft", true}, {"extra", nested}, {"ratio", 0.25}}),
  };
}

SearchRequest request(std::string query, std::size_t top_k, Value filter = {}, std::optional<double> threshold = {}) {
  SearchRequest r;
  r.query = std::move(query);
  r.top_k = top_k;
  r.query_filter = std::move(filter);
  r.threshold = threshold;
  return r;
}

class SqliteDataStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<SqliteDataStore> open(vorn_inference::EmbedderPtr embedder) {
    return SqliteDataStore::open(dir_.path() / "store.db", std::move(embedder));
  }
  vorn_core::ChunkList search(SqliteDataStore& store, CapabilityType type, SearchRequest r) {
    return run_sync(store.capability(type)->search(std::move(r)));
  }

  TempDir dir_;
};

TEST_F(SqliteDataStoreTest, RegistersOnlyWhatItHas) {
  auto full = open(axis_embedder());
  EXPECT_EQ(full->registered_capabilities().str(), "[CapabilityType.VECTOR, CapabilityType.FULLTEXT]");
  ASSERT_NE(full->capability(CapabilityType::VECTOR), nullptr);
  run_sync(full->ingest(corpus()));
  full.reset();

  // Without an embedder the stored text can still be searched, not embedded.
  auto text_only = open(nullptr);
  EXPECT_EQ(text_only->registered_capabilities().str(), "[CapabilityType.FULLTEXT]");
  EXPECT_EQ(text_only->capability(CapabilityType::VECTOR), nullptr);
  EXPECT_EQ(ids_of(search(*text_only, CapabilityType::FULLTEXT, request("server port", 5))),
            (std::vector<std::string>{"c"}));
  EXPECT_THROW(run_sync(text_only->ingest(corpus())), vorn_core::ValueError);
}

TEST_F(SqliteDataStoreTest, ReopenedStoreKeepsChunksMetadataAndScores) {
  {
    auto store = open(axis_embedder());
    const auto r = run_sync(store->ingest(corpus()));
    EXPECT_EQ(r.added, 4U);
    EXPECT_EQ(r.skipped, 0U);
  }
  auto store = open(axis_embedder());
  EXPECT_EQ(store->size(), 4U);
  auto d = store->get("d");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->content, "Debian and Ubuntu share the apt package manager.");
  EXPECT_EQ(d->metadata, corpus()[3]->metadata);  // bool, float, nested list and dict survive JSON
  EXPECT_FALSE(d->score.has_value());
  EXPECT_EQ(store->get("nope"), nullptr);

  // Cosines with (1, 0.2, 0): a .98, d .83, b .20, c 0.
  auto hits = search(*store, CapabilityType::VECTOR, request("mostly x", 3));
  EXPECT_EQ(ids_of(hits), (std::vector<std::string>{"a", "d", "b"}));
  ASSERT_TRUE(hits[0]->score && hits[1]->score);
  EXPECT_NEAR(*hits[0]->score, 1.0 / std::sqrt(1.04), 1e-5);
  EXPECT_GT(*hits[0]->score, *hits[1]->score);
  EXPECT_EQ(hits[1]->metadata.get("draft"), Value(true));
}

TEST_F(SqliteDataStoreTest, ThresholdAndTopKApplyToBothSearches) {
  auto store = open(axis_embedder());
  run_sync(store->ingest(corpus()));
  // Fillers keep "debian" and "apt" rare enough for BM25 to weigh them.
  for (int i = 0; i < 4; ++i) {
    run_sync(store->ingest({vorn_core::make_chunk("filler" + std::to_string(i), "Filler text number " + std::to_string(i))}));
  }
  EXPECT_EQ(ids_of(search(*store, CapabilityType::VECTOR, request("mostly x", 10, {}, 0.5))),
            (std::vector<std::string>{"a", "d"}));
  EXPECT_EQ(search(*store, CapabilityType::VECTOR, request("mostly x", 1)).size(), 1U);

  auto all = search(*store, CapabilityType::FULLTEXT, request("debian apt package", 10));
  ASSERT_EQ(all.size(), 3U);
  const double middle = *all[1]->score;
  auto above = search(*store, CapabilityType::FULLTEXT, request("debian apt package", 10, {}, middle));
  EXPECT_EQ(ids_of(above), (std::vector<std::string>{all[0]->id, all[1]->id}));
  EXPECT_EQ(search(*store, CapabilityType::FULLTEXT, request("debian apt package", 1)).size(), 1U);
}

TEST_F(SqliteDataStoreTest, ReingestSkipsStoredChunksWithoutEmbeddingThem) {
  auto embedder = axis_embedder();
  auto store = open(embedder);
  run_sync(store->ingest(corpus()));
  const std::size_t embedded = embedder->embedded();

  const auto again = run_sync(store->ingest(corpus()));
  EXPECT_EQ(again.added, 0U);
  EXPECT_EQ(again.skipped, 4U);
  EXPECT_EQ(embedder->embedded(), embedded);
  EXPECT_EQ(store->size(), 4U);
}

TEST_F(SqliteDataStoreTest, FailedBatchLeavesNothingBehind) {
  auto embedder = axis_embedder();
  auto store = open(embedder);
  run_sync(store->ingest({corpus()[0]}));

  // An id stored with other content, an empty id, and a failing embedder:
  // the valid chunk next to the bad one is not stored either.
  const auto fresh = vorn_core::make_chunk("e", "A new chunk about apt pinning.");
  const vorn_core::ChunkList conflicting{fresh, vorn_core::make_chunk("a", "Changed text.")};
  try {
    run_sync(store->ingest(conflicting));
    FAIL() << "expected a StoreError";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.code(), vorn_datastore::store_errc::kInput);
  }
  EXPECT_THROW(run_sync(store->ingest({fresh, vorn_core::make_chunk("", "no id")})), StoreError);
  EXPECT_THROW(run_sync(store->ingest({fresh, nullptr})), vorn_core::TypeError);
  embedder->set_failing(true);
  EXPECT_THROW(run_sync(store->ingest({fresh})), std::runtime_error);
  embedder->set_failing(false);

  EXPECT_EQ(store->size(), 1U);
  EXPECT_FALSE(store->contains("e"));
  EXPECT_EQ(search(*store, CapabilityType::FULLTEXT, request("pinning", 5)).size(), 0U);
  EXPECT_EQ(run_sync(store->ingest({fresh})).added, 1U);  // the store is still usable
}

TEST_F(SqliteDataStoreTest, MetadataFilterIsEqualityOnKeys) {
  auto store = open(axis_embedder());
  run_sync(store->ingest(corpus()));
  struct Case {
    Value filter;
    std::vector<std::string> vector_ids;    // for "mostly x", top 10
    std::vector<std::string> fulltext_ids;  // for "debian apt"
  };
  const std::vector<Case> cases = {
      {Dict{{"lang", "en"}}, {"a", "d", "c"}, {"a", "d"}},
      {Dict{{"lang", "de"}}, {"b"}, {"b"}},
      {Dict{{"year", 2021}}, {"b", "c"}, {"b"}},  // 2021.0 matches 2021
      {Dict{{"lang", "en"}, {"draft", true}}, {"d"}, {"d"}},
      {Dict{{"missing", "x"}}, {}, {}},
      {Dict{}, {"a", "d", "b", "c"}, {"a", "b", "d"}},  // an empty filter filters nothing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filter.str());
    EXPECT_EQ(ids_of(search(*store, CapabilityType::VECTOR, request("mostly x", 10, c.filter))), c.vector_ids);
    auto text = ids_of(search(*store, CapabilityType::FULLTEXT, request("debian apt", 10, c.filter)));
    std::sort(text.begin(), text.end());
    EXPECT_EQ(text, c.fulltext_ids);
  }
  EXPECT_THROW(search(*store, CapabilityType::VECTOR, request("x", 3, Value("lang=en"))), vorn_core::TypeError);
}

TEST_F(SqliteDataStoreTest, Bm25RanksRareAndRepeatedTermsFirst) {
  auto store = open(std::make_shared<vorn_inference::HashingEmbedder>(64));
  run_sync(store->ingest({
      vorn_core::make_chunk("focused", "The vector index keeps one vector per chunk. The index is exact."),
      vorn_core::make_chunk("long", "A long note that mentions the vector index once, among many other words "
                                    "about configuration files, logging, command line flags, and release notes."),
      vorn_core::make_chunk("vector-only", "Every vector is normalised before it is stored."),
      vorn_core::make_chunk("unrelated", "Strategies build pipelines from steps."),
      vorn_core::make_chunk("filler1", "Steps read the state and write one key."),
      vorn_core::make_chunk("filler2", "Errors carry a stable code."),
      vorn_core::make_chunk("filler3", "Routers pick one branch per query."),
      vorn_core::make_chunk("filler4", "Fusion merges ranked lists."),
  }));
  auto hits = search(*store, CapabilityType::FULLTEXT, request("vector index", 10));
  ASSERT_EQ(ids_of(hits), (std::vector<std::string>{"focused", "long", "vector-only"}));
  for (std::size_t i = 0; i + 1 < hits.size(); ++i) EXPECT_GT(*hits[i]->score, *hits[i + 1]->score);
  EXPECT_GT(*hits.back()->score, 0.0);
  EXPECT_TRUE(search(*store, CapabilityType::FULLTEXT, request("?! ()", 10)).empty());
}

TEST_F(SqliteDataStoreTest, EmbedderOfAnotherDimensionIsRefused) {
  run_sync(open(axis_embedder())->ingest(corpus()));
  try {
    (void)open(std::make_shared<vorn_inference::HashingEmbedder>(8));
    FAIL() << "expected a StoreError";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.code(), vorn_datastore::store_errc::kDimension);
  }
}

}  // namespace
