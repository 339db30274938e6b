// What retrieval does with its candidates before it answers: chunks that
// rarely answer (contents, link lists, change histories) ranked down, and
// one chunk per page before any page's second.
#include <gtest/gtest.h>

#include <algorithm>

#include "component_support.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_retrieval/chunk_kind.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"
#include "vorn_retrieval/page_diversity.hpp"

namespace {

using namespace vorn_components_test;
using vorn_core::Dict;
using vorn_retrieval::ChunkKind;
using Ids = std::vector<std::string>;

struct KindCase {
  const char* name;
  const char* content;
  const char* heading;
  const char* title;
  ChunkKind kind;
};

class ChunkKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(ChunkKindTest, Classifies) {
  const KindCase& c = GetParam();
  EXPECT_EQ(vorn_retrieval::classify_chunk(c.content, c.heading, c.title), c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChunkKindTest,
    ::testing::Values(
        KindCase{"prose", "Use cp -r to copy a directory. It keeps the tree.\nSee below for links.", "", "", ChunkKind::kProse},
        // Numbered steps are sentences, not contents entries.
        KindCase{"numbered_steps", "1. Install the package.\n2. Edit the file, then save it.\n3. Restart the service.", "",
                 "", ChunkKind::kProse},
        KindCase{"numbered_contents", "Table of Contents\n  5.1._Table_Basics\n  5.2._Default_Values\n  5.3. Generated Columns",
                 "", "", ChunkKind::kContents},
        KindCase{"contents_without_heading", "1.1. Console basics\n1.2. Filesystem\n1.2.1. Unix file basics\n1.3. MC", "", "",
                 ChunkKind::kContents},
        KindCase{"toctree", "Intro text.\n\n.. toctree::\n   :maxdepth: 2\n\n   intro.rst\n   usage.rst", "", "",
                 ChunkKind::kContents},
        KindCase{"markdown_links", "- [Install](install.md)\n- [Usage](usage.md)\n- [FAQ](faq.md)", "", "", ChunkKind::kLinks},
        KindCase{"asciidoc_see_also", "linkgit:git-am[1],\nlinkgit:git-apply[1],\nxref:setup[the setup]\n<<faq,FAQ>>", "",
                 "", ChunkKind::kLinks},
        KindCase{"rst_references", "* :mod:`os`\n* :mod:`shutil`\n* :func:`glob.glob`", "", "", ChunkKind::kLinks},
        KindCase{"pipe_table", "| option | meaning |\n|---|---|\n| -r | recursive |\n| -f | force |", "", "",
                 ChunkKind::kTable},
        KindCase{"changelog_by_title", "Fixed a crash when copying.", "", "Release Notes for 2.3", ChunkKind::kChangelog},
        KindCase{"changelog_by_heading", "Fixed a crash.", "Project / What's New", "", ChunkKind::kChangelog},
        KindCase{"changelog_by_versions", "Version 2.1\nFixed a crash.\nVersion 2.0\nAdded copying.\nv1.9: faster", "", "",
                 ChunkKind::kChangelog},
        // "News" as part of a longer word, dates in example output: prose.
        KindCase{"newspaper_is_not_news", "The newspaper module prints headlines.", "Newspapers", "", ChunkKind::kProse},
        KindCase{"dates_in_output", "$ date\n2020-11-01 01:00:00\nThe clock is set.\n2021-03-02 is a Tuesday.", "", "",
                 ChunkKind::kProse}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

vorn_core::ChunkPtr scored(const std::string& id, const std::string& content, double score, Dict metadata = {}) {
  return vorn_core::make_chunk(id, content, std::move(metadata), score);
}

TEST(DemoteByKind, RanksContentsBelowProseThatMatchesAlmostAsWell) {
  const vorn_core::ChunkList ranked{
      scored("toc", "1.1. Copy files\n1.2. Move files\n1.3. Remove files", 1.0),
      scored("prose", "Copy files with cp.", 0.8),
      scored("links", "- [Copy](copy.md)\n- [Move](move.md)\n- [Remove](rm.md)", 0.9),
      scored("negative", "1.1. A\n1.2. B\n1.3. C", -0.5),
  };
  const auto out = vorn_retrieval::demote_by_kind(ranked);
  EXPECT_EQ(ids_of(out), (Ids{"prose", "links", "toc", "negative"}));
  EXPECT_DOUBLE_EQ(*out.back()->score, -0.5);  // not turned into a better score
  EXPECT_DOUBLE_EQ(*ranked.front()->score, 1.0);  // the input is left alone
}

TEST(DiversifyByPage, PutsEachPagesBestChunkFirstAndKeepsTheRest) {
  const auto chunk = [](const std::string& id, const std::string& source) {
    return vorn_core::make_chunk(id, "", Dict{{"source", source}});
  };
  const vorn_core::ChunkList ranked{chunk("a1", "a"), chunk("a2", "a"), chunk("b1", "b"),
                                    chunk("a3", "a"), chunk("c1", "c"), vorn_core::make_chunk("d#0")};
  EXPECT_EQ(ids_of(vorn_retrieval::diversify_by_page(ranked, 1)), (Ids{"a1", "b1", "c1", "d#0", "a2", "a3"}));
  EXPECT_EQ(ids_of(vorn_retrieval::diversify_by_page(ranked, 2)), (Ids{"a1", "a2", "b1", "c1", "d#0", "a3"}));
  EXPECT_EQ(ids_of(vorn_retrieval::diversify_by_page(ranked, 0)), ids_of(ranked));
  // Without "source" metadata the page is the id up to '#'.
  EXPECT_EQ(vorn_retrieval::page_of(*vorn_core::make_chunk("docs/a.md#3-abc")), "docs/a.md");
}

// A long page that matches well in every chunk, a shorter page that matches
// less well once, and a table of contents that matches best of all.
class ShapedRetrievalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = vorn_datastore::SqliteDataStore::open(dir_.path() / "store.db",
                                                   std::make_shared<vorn_inference::HashingEmbedder>(64));
    vorn_core::ChunkList chunks;
    for (int i = 0; i < 4; ++i) {
      chunks.push_back(vorn_core::make_chunk("long.md#" + std::to_string(i),
                                             "Restore the backup archive mirror " + std::to_string(i) +
                                                 ", then restore the archive rotation.",
                                             Dict{{"source", "long.md"}}));
    }
    chunks.push_back(vorn_core::make_chunk("short.md#0", "A backup archive can be restored with the tool.",
                                           Dict{{"source", "short.md"}}));
    chunks.push_back(vorn_core::make_chunk(
        "index.md#0", "Contents\n1.1. Restore backup archive\n1.2. Restore backup archive rotation\n"
                      "1.3. Restore backup archive mirror",
        Dict{{"source", "index.md"}}));
    for (int i = 0; i < 8; ++i) {
      chunks.push_back(vorn_core::make_chunk("filler" + std::to_string(i) + ".md#0",
                                             "Unrelated text number " + std::to_string(i) + ".",
                                             Dict{{"source", "filler" + std::to_string(i) + ".md"}}));
    }
    vorn_core::run_sync(store_->ingest(chunks));
  }

  Ids top(vorn_retrieval::BaseRetriever& r, std::int64_t k) {
    vorn_retrieval::RetrieveOptions o;
    o.top_k = k;
    return ids_of(vorn_core::to_chunk_list(vorn_core::run_sync(r.retrieve(vorn_core::Value("restore backup archive"), o))));
  }

  TempDir dir_;
  std::shared_ptr<vorn_datastore::SqliteDataStore> store_;
};

TEST_F(ShapedRetrievalTest, EveryRetrieverShowsOtherPagesBeforeAPagesSecondChunk) {
  vorn_retrieval::FulltextRetriever bm25(store_);
  vorn_retrieval::HybridRetriever hybrid(store_);
  for (vorn_retrieval::BaseRetriever* r : {static_cast<vorn_retrieval::BaseRetriever*>(&bm25),
                                           static_cast<vorn_retrieval::BaseRetriever*>(&hybrid)}) {
    SCOPED_TRACE(r->type_name());
    const Ids ids = top(*r, 3);
    ASSERT_EQ(ids.size(), 3U);
    EXPECT_TRUE(ids[0].starts_with("long.md#")) << ids[0];
    EXPECT_EQ(ids[1], "short.md#0");
    EXPECT_EQ(ids[2], "index.md#0");  // the contents come last, though they match best
  }
  // Without shaping, the contents lead and the long page takes two places.
  vorn_retrieval::FulltextRetriever plain(store_, {.demote_kinds = false, .per_page = 0});
  const Ids ids = top(plain, 3);
  EXPECT_EQ(ids[0], "index.md#0");
  EXPECT_EQ(std::count_if(ids.begin(), ids.end(), [](const std::string& id) { return id.starts_with("long.md#"); }), 2);
  EXPECT_THROW(vorn_retrieval::FulltextRetriever(store_, {.candidates_per_result = 0}), vorn_core::ValueError);
}

}  // namespace
