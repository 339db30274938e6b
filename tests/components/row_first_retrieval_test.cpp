// Hybrid retrieval that ranks store rows and reads only the chunks it
// returns must return exactly what ranking whole chunks returns: the same
// chunks, text, metadata and scores, in the same order, whatever the options.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "candidate_memory.hpp"
#include "component_support.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"

namespace {

using namespace vorn_components_test;
using vorn_core::Dict;

// The same store seen without its row-first searches, so that the
// retriever ranks whole chunks.
class WholeChunks final : public vorn_datastore::BaseDataStore {
 public:
  explicit WholeChunks(vorn_datastore::DataStorePtr inner) : inner_(std::move(inner)) {}
  vorn_datastore::CapabilitySet registered_capabilities() const override { return inner_->registered_capabilities(); }
  vorn_datastore::SearchCapability* capability(vorn_datastore::CapabilityType t) override {
    return inner_->capability(t);
  }
  vorn_datastore::PageSearch* page_search() override { return inner_->page_search(); }
  std::string type_name() const override { return "WholeChunks"; }

 private:
  vorn_datastore::DataStorePtr inner_;
};

vorn_core::ChunkPtr chunk(std::string id, std::string content, Dict metadata = {}) {
  return vorn_core::make_chunk(std::move(id), std::move(content), std::move(metadata));
}

Dict meta(std::initializer_list<std::pair<const char*, vorn_core::Value>> items) {
  Dict d;
  for (const auto& [k, v] : items) d.set(k, v);
  return d;
}

// Pages of prose, a table of contents, a change history, chunks without a
// page (their id names it) and one whose source is not a string.
vorn_core::ChunkList corpus() {
  vorn_core::ChunkList out;
  const char* topics[] = {"backup archive restore", "connection timeout option", "disk space vacuum",
                          "index rebuild concurrently", "replication slot lag"};
  for (int p = 0; p < 12; ++p) {
    const std::string page = "docs/p" + std::to_string(p) + ".md";
    for (int c = 0; c < 4; ++c) {
      const std::string topic = topics[(p + c) % 5];
      out.push_back(chunk(page + "#" + std::to_string(c),
                          "Section " + std::to_string(c) + " explains the " + topic + " and how the " +
                              topics[(p * 3 + c) % 5] + " interacts with it.",
                          meta({{"source", page}, {"title", "Page " + std::to_string(p)},
                                {"heading", c == 3 ? "Release notes" : "Usage"}})));
    }
  }
  out.push_back(chunk("docs/toc.md#0", "1.1. Backup archive\n1.2. Restore archive\n1.3. Connection timeout\n",
                      meta({{"source", "docs/toc.md"}, {"title", "Contents"}})));
  out.push_back(chunk("loose#0", "A loose note on the backup archive restore and disk space."));
  out.push_back(chunk("loose#1", "Another loose note about the connection timeout option."));
  out.push_back(chunk("odd#0", "The vacuum frees disk space after a backup.", meta({{"source", 7}})));
  return out;
}

struct Case {
  const char* name;
  vorn_retrieval::HybridOptions options;
  std::optional<double> threshold;
  bool filtered = false;
};

vorn_core::ChunkList run(vorn_retrieval::BaseRetriever& r, const char* query, const Case& c = {}) {
  vorn_retrieval::RetrieveOptions o;
  o.top_k = 6;
  o.threshold = c.threshold;
  if (c.filtered) o.query_filter = vorn_core::Value(meta({{"title", "Page 3"}}));
  return vorn_core::to_chunk_list(vorn_core::run_sync(r.retrieve(vorn_core::Value(query), o)));
}

void expect_same(const vorn_core::ChunkList& got, const vorn_core::ChunkList& want, const char* query) {
  ASSERT_EQ(got.size(), want.size()) << query;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i]->id, want[i]->id) << query << " at " << i;
    EXPECT_EQ(got[i]->content, want[i]->content) << query << " at " << i;
    EXPECT_TRUE(got[i]->metadata == want[i]->metadata) << query << " at " << i;
    EXPECT_EQ(got[i]->score, want[i]->score) << query << " at " << i;  // exact, not near
  }
}

template <typename Param>
class StoreOfCorpus : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    store_ = vorn_datastore::SqliteDataStore::open(dir_.path() / "s.db",
                                                   std::make_shared<vorn_inference::HashingEmbedder>(64));
    vorn_core::run_sync(store_->ingest(corpus()));
  }
  TempDir dir_;
  std::shared_ptr<vorn_datastore::SqliteDataStore> store_;
};

using RowFirstHybrid = StoreOfCorpus<Case>;

const char* const kQueries[] = {"how do I restore a backup archive", "connection timeout",
                                "disk space", "release notes replication", "zzz unknown words"};

TEST_P(RowFirstHybrid, ReturnsWhatRankingWholeChunksReturns) {
  const Case& c = GetParam();
  ASSERT_NE(store_->row_search(), nullptr);
  vorn_retrieval::HybridRetriever rows(store_, c.options);
  vorn_retrieval::HybridRetriever whole(std::make_shared<WholeChunks>(store_), c.options);
  for (const char* q : kQueries) expect_same(run(rows, q, c), run(whole, q, c), q);
}

TEST_P(RowFirstHybrid, ARowRemovedBehindTheStoreTakesNoRank) {
  const Case& c = GetParam();
  vorn_retrieval::HybridRetriever rows(store_, c.options);
  vorn_retrieval::HybridRetriever whole(std::make_shared<WholeChunks>(store_), c.options);
  const char* q = "how do I restore a backup archive";
  const auto before = run(rows, q, c);  // the store now holds these rows' exact vectors
  if (before.empty()) GTEST_SKIP() << "nothing found with these options";
  {
    // Another process's removal: this store's in-memory copies still hold the row.
    auto other = vorn_datastore::SqliteChunkStore::open(dir_.path() / "s.db");
    ASSERT_EQ(other.remove({before.front()->id}), 1U);
  }
  const auto after = run(rows, q, c);
  expect_same(after, run(whole, q, c), q);
  for (const auto& hit : after) EXPECT_NE(hit->id, before.front()->id);
}

INSTANTIATE_TEST_SUITE_P(
    Options, RowFirstHybrid,
    ::testing::Values(Case{"defaults", {}, std::nullopt},
                      Case{"no_page_scores_two_per_page", {.per_page = 2, .page_weight = 0.0}, std::nullopt},
                      Case{"no_page_limit", {.per_page = 0}, std::nullopt},
                      Case{"kinds_kept", {.demote_kinds = false}, std::nullopt},
                      Case{"vector_led", {.vector_weight = 1.0, .rank_constant = 60.0}, std::nullopt},
                      Case{"threshold", {}, 0.3},
                      Case{"filtered", {}, std::nullopt, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A write between retrievals, by this store or through another handle on
// the file (as another process writes), once the retriever has learned the
// candidates of every query.
struct Write {
  const char* name;
  enum What { kRemove, kAdd, kAddStored, kIndexMetadata } what;
  bool elsewhere;
  bool changes_rows;
};

using RememberedCandidates = StoreOfCorpus<Write>;

TEST_P(RememberedCandidates, FollowEveryWriteToTheFile) {
  const Write& w = GetParam();
  vorn_retrieval::HybridRetriever remembering(store_);
  vorn_retrieval::HybridRetriever whole(std::make_shared<WholeChunks>(store_));
  for (int pass = 0; pass < 2; ++pass) {
    for (const char* q : kQueries) expect_same(run(remembering, q), run(whole, q), q);
  }
  const std::string removed = run(whole, kQueries[0]).front()->id;
  const auto version = store_->row_search()->rows_version();
  ASSERT_TRUE(version.has_value());
  {
    auto other = w.elsewhere ? vorn_datastore::SqliteDataStore::open(
                                   dir_.path() / "s.db", std::make_shared<vorn_inference::HashingEmbedder>(64))
                             : store_;
    switch (w.what) {
      case Write::kRemove: ASSERT_EQ(other->remove({removed}), 1U); break;
      case Write::kAdd:
        vorn_core::run_sync(other->ingest({chunk("docs/new.md#0", "Restore a backup archive, step by step.",
                                                 meta({{"source", "docs/new.md"}, {"title", "Restore"}}))}));
        break;
      case Write::kAddStored: vorn_core::run_sync(other->ingest({corpus().front()})); break;
      case Write::kIndexMetadata: other->set_index_metadata("note", "rebuilt"); break;
    }
  }
  EXPECT_EQ(store_->row_search()->rows_version() != version, w.changes_rows);
  for (const char* q : kQueries) {
    const auto got = run(remembering, q);
    expect_same(got, run(whole, q), q);
    if (w.what == Write::kRemove) {
      for (const auto& hit : got) EXPECT_NE(hit->id, removed) << q;
    }
  }
}

// One retriever shared by searches that race the store's own additions and
// removals (a service's workers while it indexes): once the writes stop it
// agrees again with a retriever that reads whole chunks.
TEST(RememberedCandidatesShared, SurviveSearchesRacingWrites) {
  TempDir dir;
  auto store = vorn_datastore::SqliteDataStore::open(dir.path() / "s.db",
                                                     std::make_shared<vorn_inference::HashingEmbedder>(64));
  vorn_core::run_sync(store->ingest(corpus()));
  vorn_retrieval::HybridRetriever shared(store);
  std::atomic<bool> stop{false};
  std::vector<std::thread> searchers;
  for (std::size_t t = 0; t < 3; ++t) {
    searchers.emplace_back([&, t] {
      for (std::size_t n = t; !stop.load(); ++n) (void)run(shared, kQueries[n % std::size(kQueries)]);
    });
  }
  for (int round = 0; round < 8; ++round) {
    const std::string id = "docs/extra.md#" + std::to_string(round);
    vorn_core::run_sync(store->ingest({chunk(id, "Extra notes on restoring a backup archive, part " +
                                                     std::to_string(round) + ".",
                                             meta({{"source", "docs/extra.md"}}))}));
    if (round % 2 == 1) ASSERT_EQ(store->remove({"docs/extra.md#" + std::to_string(round - 1)}), 1U);
  }
  stop = true;
  for (auto& t : searchers) t.join();
  vorn_retrieval::HybridRetriever whole(std::make_shared<WholeChunks>(store));
  for (const char* q : kQueries) expect_same(run(shared, q), run(whole, q), q);
}

INSTANTIATE_TEST_SUITE_P(Writes, RememberedCandidates,
                         ::testing::Values(Write{"remove_here", Write::kRemove, false, true},
                                           Write{"remove_elsewhere", Write::kRemove, true, true},
                                           Write{"add_here", Write::kAdd, false, true},
                                           Write{"add_elsewhere", Write::kAdd, true, true},
                                           Write{"add_stored_elsewhere", Write::kAddStored, true, false},
                                           Write{"index_metadata_elsewhere", Write::kIndexMetadata, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Facts learned under one version of the store's rows are never recalled
// under another, including facts that arrive late from a search that read
// the old version before another search saw the new one.
TEST(CandidateMemory, RecallsOnlyWhatWasLearnedUnderTheSameVersion) {
  using vorn_retrieval::CandidateFacts;
  vorn_retrieval::CandidateMemory memory(/*capacity=*/3);
  const auto facts = [](const char* id) { return std::make_shared<const CandidateFacts>(CandidateFacts{id, id}); };
  const std::vector<vorn_datastore::RowHit> rows = {{1, 0.0}, {2, 0.0}, {3, 0.0}};
  const auto ids = [&](std::uint64_t version) {
    std::string out;
    for (const auto& f : memory.recall(version, rows)) out += f ? f->id : "-";
    return out;
  };
  EXPECT_EQ(ids(7), "---");
  memory.remember(7, std::vector{std::pair{std::int64_t{1}, facts("a")}, std::pair{std::int64_t{3}, facts("c")}});
  EXPECT_EQ(ids(7), "a-c");
  EXPECT_EQ(ids(8), "---");
  memory.remember(7, std::vector{std::pair{std::int64_t{2}, facts("b")}});  // late, from version 7
  EXPECT_EQ(ids(8), "---");
  memory.remember(8, std::vector{std::pair{std::int64_t{1}, facts("A")}, std::pair{std::int64_t{2}, facts("B")},
                                 std::pair{std::int64_t{3}, facts("C")}});
  EXPECT_EQ(ids(8), "ABC");
  memory.remember(8, std::vector{std::pair{std::int64_t{4}, facts("D")}});  // past capacity: starts afresh
  EXPECT_EQ(ids(8), "---");
  EXPECT_EQ(memory.size(), 1U);
}

// The store's row-first searches rank exactly as its whole-chunk searches.
TEST(RowFirstStore, RankedRowsReadBackAsTheSearchHits) {
  TempDir dir;
  auto store = vorn_datastore::SqliteDataStore::open(dir.path() / "s.db",
                                                     std::make_shared<vorn_inference::HashingEmbedder>(64));
  vorn_core::run_sync(store->ingest(corpus()));
  const auto& chunks = store->chunk_store();
  const auto query = vorn_core::run_sync(store->embedder()->embed({"backup archive"})).front();
  for (const vorn_datastore::Filter& filter :
       {vorn_datastore::Filter{}, vorn_datastore::Filter{{"title", "Page 2"}}}) {
    const auto same = [](const std::vector<vorn_datastore::SearchHit>& a,
                         const std::vector<vorn_datastore::SearchHit>& b) {
      if (a.size() != b.size()) return false;
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id || a[i].score != b[i].score || a[i].metadata != b[i].metadata) return false;
      }
      return !a.empty();
    };
    EXPECT_TRUE(same(chunks.read_hits(chunks.rank_bm25("backup archive restore", 7, filter)),
                     chunks.search_bm25("backup archive restore", 7, filter)));
    EXPECT_TRUE(same(chunks.read_hits(chunks.rank_vector(query, 7, filter)), chunks.search_vector(query, 7, filter)));
  }
  // Rows are read in the order asked, a repeat each time, a row not stored skipped.
  const auto ranked = chunks.rank_bm25("backup archive restore", 3);
  ASSERT_EQ(ranked.size(), 3U);
  const std::vector<vorn_datastore::RowHit> asked = {ranked[2], {999'999, 1.0}, ranked[0], ranked[2]};
  std::vector<std::string> got;
  for (const auto& h : chunks.read_hits(asked)) got.push_back(h.id + "@" + std::to_string(h.score));
  const auto at = [&](std::size_t i) {
    return chunks.read_hits(std::vector{ranked[i]}).front().id + "@" + std::to_string(ranked[i].score);
  };
  EXPECT_EQ(got, (std::vector<std::string>{at(2), at(0), at(2)}));
}

}  // namespace
