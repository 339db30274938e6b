// Full-text search terms in the SQLite store: stems, code tokens kept
// whole, page title and heading columns, and indexes built with other
// terms refused with a rebuild message.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <optional>
#include <string>
#include <vector>

#include "component_support.hpp"
#include "vorn_core/error.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace {

using namespace vorn_components_test;
using vorn_datastore::SqliteChunkStore;
using vorn_datastore::StoredChunk;
using Ids = std::vector<std::string>;

StoredChunk chunk(std::string id, std::string content, nlohmann::json metadata = nlohmann::json::object()) {
  return {std::move(id), std::move(content), std::move(metadata), {1.0F, 0.0F}};
}

Ids ids(const std::vector<vorn_datastore::SearchHit>& hits) {
  Ids out;
  for (const auto& h : hits) out.push_back(h.id);
  return out;
}

class StoreTextSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    store_.emplace(SqliteChunkStore::open(dir_.path() / "s.db", {.dimension = 2}));
    store_->add_batch({
        chunk("copies", "The tool copies whole directory trees."),
        chunk("soft", "A soft reset moves the branch; use --soft to keep the index."),
        chunk("plain", "Soft drinks and a reset button."),
        chunk("titled", "Removes dead rows and reclaims space.",
              {{"title", "VACUUM"}, {"summary", "garbage-collect a database"}, {"heading", "Description"}}),
        chunk("mention", "Run vacuum later; this page is about something else entirely, with many other words."),
    });
  }
  TempDir dir_;
  std::optional<SqliteChunkStore> store_;
};

TEST_F(StoreTextSearch, InflectedQueryWordsMeetTheirStems) {
  EXPECT_EQ(ids(store_->search_bm25("copying directories", 5)), (Ids{"copies"}));
}

TEST_F(StoreTextSearch, ExactCodeTokenOutranksTheSameWordInProse) {
  EXPECT_EQ(ids(store_->search_bm25("git reset --soft", 2)), (Ids{"soft", "plain"}));
}

TEST_F(StoreTextSearch, PageTitleAndSummaryCountMoreThanAPassingMention) {
  EXPECT_EQ(ids(store_->search_bm25("vacuum", 2)), (Ids{"titled", "mention"}));
  EXPECT_EQ(ids(store_->search_bm25("garbage collection", 2)), (Ids{"titled"}));
}

TEST_F(StoreTextSearch, RemovedChunksLeaveTheTitleColumnsToo) {
  EXPECT_EQ(store_->remove({"titled"}), 1U);
  EXPECT_EQ(ids(store_->search_bm25("garbage", 5)), Ids{});
  store_->check_integrity();
}

TEST_F(StoreTextSearch, IndexOfAnotherTokenizerIsRefusedWithARebuildMessage) {
  store_.reset();
  const auto path = dir_.path() / "s.db";
  sqlite3* raw = nullptr;
  sqlite3_open(path.string().c_str(), &raw);
  sqlite3_exec(raw, "DELETE FROM meta WHERE key = 'index.tokenizer'", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  try {
    (void)SqliteChunkStore::open(path, {.read_only = true});
    FAIL() << "opened an index built with other search terms";
  } catch (const vorn_core::BaseError& e) {
    EXPECT_EQ(e.code(), vorn_datastore::store_errc::kVersion);
    EXPECT_NE(e.message().find("Rebuild the index"), std::string::npos) << e.message();
  }
}

// How a question is phrased is not what it is about: the words that frame
// a request do not pull in a page that merely uses them.
struct FramingCase {
  std::string query;
  Ids expected;
};

class RequestFraming : public ::testing::TestWithParam<FramingCase> {};

TEST_P(RequestFraming, MatchesTheSubjectNotThePhrasing) {
  TempDir dir;
  auto store = SqliteChunkStore::open(dir.path() / "s.db", {.dimension = 2});
  store.add_batch({
      chunk("copytree", "Copy a directory tree with everything inside it."),
      chunk("advice", "The best way is the one you want and need; the easiest is possible too."),
  });
  EXPECT_EQ(ids(store.search_bm25(GetParam().query, 5)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, RequestFraming,
    ::testing::Values(FramingCase{"What is the easiest way to copy a directory tree?", {"copytree"}},
                      FramingCase{"I want to copy a directory; is it possible?", {"copytree"}},
                      FramingCase{"I need the best tree copy", {"copytree"}},
                      // Framing words alone are all there is to search for.
                      FramingCase{"the best way", {"advice"}}));

}  // namespace
