// Whole pages as a search signal: a page's words counted together wherever
// its chunks put them, kept current as chunks come and go, and fused with
// the chunk ranking by the retrievers.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "component_support.hpp"
#include "page_index.hpp"
#include "vorn_core/error.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"
#include "vorn_retrieval/page_diversity.hpp"
#include "vorn_retrieval/page_ranking.hpp"

namespace {

using namespace vorn_components_test;
using vorn_datastore::SqliteChunkStore;
using vorn_datastore::StoredChunk;
using Strings = std::vector<std::string>;

StoredChunk on_page(std::string id, std::string page, std::string content, std::string title = {}) {
  nlohmann::json metadata = {{"source", std::move(page)}};
  if (!title.empty()) metadata["title"] = std::move(title);
  return {std::move(id), std::move(content), std::move(metadata), {1.0F, 0.0F}};
}

// Filler pages give the test words a realistic rarity (a word in half the
// chunks or more counts for nothing).
std::vector<StoredChunk> filler(int pages) {
  std::vector<StoredChunk> out;
  for (int i = 0; i < pages; ++i) {
    out.push_back(on_page("f" + std::to_string(i), "filler" + std::to_string(i) + ".md",
                          "Unrelated prose number " + std::to_string(i) + " about gardening and weather."));
  }
  return out;
}

class PageScores : public ::testing::Test {
 protected:
  SqliteChunkStore open(bool read_only = false) {
    return SqliteChunkStore::open(dir_.path() / "s.db", {.dimension = 2, .read_only = read_only});
  }
  TempDir dir_;
};

TEST_F(PageScores, WordsInDifferentChunksOfAPageCountTogether) {
  SqliteChunkStore store = open();
  store.add_batch(filler(8));
  store.add_batch({on_page("s1", "split.md", "The daemon starts at boot."),
                   on_page("s2", "split.md", "It reclaims space from dead rows.")});
  store.add_batch({on_page("w1", "whole.md", "The daemon starts at boot. It reclaims space from dead rows.")});
  store.add_batch({on_page("h1", "half.md", "The daemon starts at boot and logs a line.")});
  const auto scores = store.score_pages("daemon reclaims space", {"split.md", "whole.md", "half.md", "nowhere.md"});
  ASSERT_EQ(scores.size(), 4U);
  // The same text cut into two chunks scores as the page it makes.
  EXPECT_GT(scores[0], 0.0);
  EXPECT_DOUBLE_EQ(scores[0], scores[1]);
  EXPECT_GT(scores[0], scores[2]);
  EXPECT_EQ(scores[3], 0.0);
  EXPECT_EQ(store.score_pages("gardening weather", {"split.md"}), std::vector<double>{0.0});
}

TEST_F(PageScores, TitleWordsCountMoreThanTheSameWordInTheText) {
  SqliteChunkStore store = open();
  store.add_batch(filler(8));
  store.add_batch({on_page("t", "titled.md", "Removes dead rows and frees space.", "Vacuum")});
  store.add_batch({on_page("m", "mention.md", "Removes dead rows; vacuum frees space.")});
  const auto scores = store.score_pages("vacuum", {"titled.md", "mention.md"});
  EXPECT_GT(scores[0], scores[1]);
  EXPECT_GT(scores[1], 0.0);
}

// Which metadata a page's words come from: the title and summary weigh as
// much as each other, a heading less, and values that are not text (numbers,
// lists, objects) give no words at all.
struct FieldCase {
  std::string name;
  nlohmann::json fields;
  int weight;  // 2: title weight, 1: heading weight, 0: no words
};

class PageFields : public ::testing::TestWithParam<FieldCase> {};

TEST_P(PageFields, WordsComeFromTextFieldsOnly) {
  TempDir dir;
  SqliteChunkStore store = SqliteChunkStore::open(dir.path() / "s.db", {.dimension = 2});
  store.add_batch(filler(8));
  StoredChunk titled = on_page("t", "titled.md", "Removes dead rows.", "Vacuum");
  StoredChunk headed = on_page("h", "headed.md", "Removes dead rows.");
  headed.metadata["heading"] = "Vacuum";
  StoredChunk subject = on_page("s", "subject.md", "Removes dead rows.");
  subject.metadata.update(GetParam().fields);
  store.add_batch({titled, headed, subject});
  const auto scores = store.score_pages("vacuum", {"titled.md", "headed.md", "subject.md"});
  ASSERT_GT(scores[0], scores[1]);
  ASSERT_GT(scores[1], 0.0);
  const double expected = GetParam().weight == 2 ? scores[0] : GetParam().weight == 1 ? scores[1] : 0.0;
  EXPECT_DOUBLE_EQ(scores[2], expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PageFields,
    ::testing::Values(FieldCase{"Title", {{"title", "Vacuum"}}, 2}, FieldCase{"Summary", {{"summary", "Vacuum"}}, 2},
                      FieldCase{"Heading", {{"heading", "Vacuum"}}, 1},
                      FieldCase{"NumberTitle", {{"title", 7}, {"note", "Vacuum"}}, 0},
                      FieldCase{"ListHeading", {{"heading", nlohmann::json::array({"Vacuum"})}}, 0},
                      FieldCase{"ObjectSummary", {{"summary", {{"text", "Vacuum"}}}}, 0}),
    [](const ::testing::TestParamInfo<FieldCase>& info) { return info.param.name; });

TEST_F(PageScores, APageWrittenInSeveralBatchesHoldsEveryBatchsWords) {
  {
    SqliteChunkStore store = open();
    store.add_batch(filler(8));
    store.add_batch({on_page("a1", "guide.md", "First the kernel boots.")});
    store.add_batch({on_page("a2", "guide.md", "Then systemd mounts the disks.")});
    // Searching right after the writes sees them.
    EXPECT_GT(store.score_pages("kernel", {"guide.md"})[0], 0.0);
    EXPECT_GT(store.score_pages("systemd", {"guide.md"})[0], 0.0);
    store.add_batch({on_page("a3", "guide.md", "Finally a login prompt appears.")});
  }
  // Closing the writer indexed what was still pending.
  SqliteChunkStore reader = open(/*read_only=*/true);
  for (const char* word : {"kernel", "systemd", "login"}) {
    EXPECT_GT(reader.score_pages(word, {"guide.md"})[0], 0.0) << word;
  }
  reader.check_integrity();
}

TEST_F(PageScores, RemovedChunksTakeTheirWordsOffThePage) {
  SqliteChunkStore store = open();
  store.add_batch(filler(8));
  store.add_batch({on_page("a1", "guide.md", "First the kernel boots."),
                   on_page("a2", "guide.md", "Then systemd mounts the disks.")});
  store.add_batch({on_page("b1", "other.md", "Nothing to see.")});
  EXPECT_EQ(store.remove({"a2"}), 1U);
  EXPECT_EQ(store.score_pages("systemd", {"guide.md"})[0], 0.0);
  EXPECT_GT(store.score_pages("kernel", {"guide.md"})[0], 0.0);
  EXPECT_EQ(store.remove({"a1"}), 1U);
  EXPECT_EQ(store.score_pages("kernel", {"guide.md"})[0], 0.0);
  store.check_integrity();
}

TEST_F(PageScores, PagesLeftPendingByAStoppedWriterAreIndexedByTheNextOne) {
  {
    SqliteChunkStore store = open();
    store.add_batch(filler(8));
    store.add_batch({on_page("a1", "guide.md", "First the kernel boots.")});
  }
  // A writer killed after a commit leaves the page marked but without its row.
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((dir_.path() / "s.db").string().c_str(), &raw), SQLITE_OK);
    sqlite3_exec(raw, "DELETE FROM pages WHERE source = 'guide.md'; INSERT INTO pages_pending VALUES ('guide.md')",
                 nullptr, nullptr, nullptr);
    sqlite3_close(raw);
  }
  EXPECT_EQ(open(/*read_only=*/true).score_pages("kernel", {"guide.md"})[0], 0.0);
  EXPECT_GT(open().score_pages("kernel", {"guide.md"})[0], 0.0);
}

TEST_F(PageScores, ChunksWithoutASourceBelongToNoPage) {
  SqliteChunkStore store = open();
  store.add_batch(filler(8));
  store.add_batch({{"loose#1", "The kernel boots.", nlohmann::json::object(), {1.0F, 0.0F}},
                   {"odd#1", "The kernel boots.", {{"source", 7}}, {1.0F, 0.0F}}});
  EXPECT_EQ(store.score_pages("kernel", {"loose", "7"}), (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(store.remove({"loose#1", "odd#1"}), 2U);
}

class TermListLookup : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(TermListLookup, FindsEveryStoredHashAndNothingElse) {
  const std::vector<vorn_datastore::sqlite::TermCount> terms = {
      {0, 1.0F}, {7, 2.5F}, {1ULL << 40, 4.0F}, {std::numeric_limits<std::uint64_t>::max(), 8.0F}};
  const std::string blob = vorn_datastore::sqlite::encode_page_terms(terms);
  const std::uint64_t hash = GetParam();
  std::optional<float> expected;
  for (const auto& t : terms) {
    if (t.hash == hash) expected = t.count;
  }
  EXPECT_EQ(vorn_datastore::sqlite::find_term_count(blob, hash), expected);
}

INSTANTIATE_TEST_SUITE_P(Hashes, TermListLookup,
                         ::testing::Values(0ULL, 1ULL, 7ULL, 8ULL, 1ULL << 40, (1ULL << 40) + 1,
                                           std::numeric_limits<std::uint64_t>::max(),
                                           std::numeric_limits<std::uint64_t>::max() - 1));

TEST(PageTermCounts, TitleAndHeadingsWeighMoreAndLengthCountsWords) {
  using vorn_datastore::sqlite::count_page_terms;
  const auto page = count_page_terms("Vacuum", "Notes", "Vacuum the table. Notes follow.");
  const std::string blob = vorn_datastore::sqlite::encode_page_terms(page.terms);
  const auto count = [&](std::string_view stem) {
    return vorn_datastore::sqlite::find_term_count(blob, vorn_datastore::sqlite::term_hash(stem)).value_or(0.0F);
  };
  EXPECT_FLOAT_EQ(count("vacuum"), vorn_datastore::sqlite::kPageTitleWeight + 1.0);
  EXPECT_FLOAT_EQ(count("note"), vorn_datastore::sqlite::kPageHeadingWeight + 1.0);
  EXPECT_FLOAT_EQ(count("tabl"), 1.0);
  EXPECT_DOUBLE_EQ(page.length, 7.0);  // words, once each, whatever their weight
}

// rank_by_page over pages a, b, c whose best chunks rank in that order.
struct PageOrderCase {
  const char* name;
  std::vector<double> page_scores;
  Strings expected;
};

class RankByPage : public ::testing::TestWithParam<PageOrderCase> {};

TEST_P(RankByPage, OrdersPagesByFusedEvidence) {
  const vorn_core::ChunkList ranked = {vorn_core::make_chunk("a#1", "x"), vorn_core::make_chunk("b#1", "x"),
                                       nullptr, vorn_core::make_chunk("a#2", "x"), vorn_core::make_chunk("c#1", "x")};
  ASSERT_EQ(vorn_retrieval::pages_in_order(ranked), (Strings{"a", "b", "c"}));
  Strings ids;
  for (const auto& c : vorn_retrieval::rank_by_page(ranked, GetParam().page_scores, {})) ids.push_back(c->id);
  EXPECT_EQ(ids, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RankByPage,
    ::testing::Values(PageOrderCase{"NoPageEvidenceKeepsTheRanking", {0, 0, 0}, {"a#1", "b#1", "a#2", "c#1"}},
                      PageOrderCase{"MissingScoresKeepTheRanking", {}, {"a#1", "b#1", "a#2", "c#1"}},
                      PageOrderCase{"AgreementPutsEachPageOnceFirst", {3, 2, 1}, {"a#1", "b#1", "c#1", "a#2"}},
                      // a: 1/3 + 1/4, b: 1/4 + 1/5, c: 1/5 + 1/3
                      PageOrderCase{"AStrongPageClimbsOneStep", {2, 1, 3}, {"a#1", "c#1", "b#1", "a#2"}},
                      // a has no page rank: 1/3; b: 1/4 + 1/3; c: 1/5 + 1/4
                      PageOrderCase{"AnUnmatchedPageKeepsOnlyItsChunkRank", {0, 5, 1}, {"b#1", "c#1", "a#1", "a#2"}},
                      PageOrderCase{"TiedScoresKeepTheChunkOrder", {1, 1, 1}, {"a#1", "b#1", "c#1", "a#2"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Through the retrievers: the best chunk is a glossary line on a long page
// that is otherwise about something else; the page that holds all the
// question's words, over two chunks, comes first.
class PageAwareRetrieval : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = vorn_datastore::SqliteDataStore::open(dir_.path() / "s.db",
                                                   std::make_shared<vorn_inference::HashingEmbedder>(64));
    vorn_core::ChunkList chunks;
    const auto add = [&](std::string id, std::string text, std::string page) {
      chunks.push_back(vorn_core::make_chunk(std::move(id), std::move(text), Dict{{"source", std::move(page)}}));
    };
    for (const auto& f : filler(12)) add(f.id, f.content, f.metadata["source"].get<std::string>());
    add("n1", "Glossary: disk space, cleanup, free space, old files.", "glossary.md");
    for (int i = 0; i < 10; ++i) {
      add("n" + std::to_string(i + 2), "Entry " + std::to_string(i) + ": terminals, fonts, keyboards, printers and locales.",
          "glossary.md");
    }
    add("g1", "Old log files fill the disk; removing them frees space.", "guide.md");
    add("g2", "The cleanup timer runs weekly and rotates logs.", "guide.md");
    add("t1", "Disk space is measured in blocks.", "units.md");
    vorn_core::run_sync(store_->ingest(chunks));
  }
  Strings pages(vorn_retrieval::BaseRetriever& r) {
    vorn_retrieval::RetrieveOptions options;
    options.top_k = 3;
    Strings out;
    for (const auto& c : vorn_core::to_chunk_list(
             vorn_core::run_sync(r.retrieve(vorn_core::Value("weekly cleanup of old logs frees disk space"), options)))) {
      out.push_back(vorn_retrieval::page_of(*c));
    }
    return out;
  }
  using Dict = vorn_core::Dict;
  TempDir dir_;
  std::shared_ptr<vorn_datastore::SqliteDataStore> store_;
};

TEST_F(PageAwareRetrieval, BothRetrieversPutTheWholePageFirst) {
  vorn_retrieval::FulltextRetriever bm25(store_);
  vorn_retrieval::HybridRetriever hybrid(store_);
  EXPECT_EQ(pages(bm25), (Strings{"guide.md", "glossary.md", "units.md"}));
  EXPECT_EQ(pages(hybrid), (Strings{"guide.md", "glossary.md", "units.md"}));
  // Without the page evidence the glossary line leads.
  vorn_retrieval::FulltextRetriever chunks_only(store_, {.page_weight = 0.0});
  EXPECT_EQ(pages(chunks_only).front(), "glossary.md");
}

TEST_F(PageAwareRetrieval, NegativePageWeightIsRefused) {
  EXPECT_THROW(vorn_retrieval::FulltextRetriever(store_, {.page_weight = -1.0}), vorn_core::ValueError);
  EXPECT_THROW(vorn_retrieval::HybridRetriever(store_, {.page_weight = std::numeric_limits<double>::quiet_NaN()}),
               vorn_core::ValueError);
}

}  // namespace
