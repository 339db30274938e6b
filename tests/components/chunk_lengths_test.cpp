// Chunk lengths are read from the file only once a search ranks enough rows
// to pay for it; until then each ranked row's length comes from the
// full-text index itself. Scores must not depend on which source answered,
// on a store that opened the file or one that wrote the rows itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "component_support.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace {

using namespace vorn_components_test;
using vorn_datastore::SqliteChunkStore;

std::vector<vorn_datastore::StoredChunk> corpus() {
  std::vector<vorn_datastore::StoredChunk> out;
  for (int i = 0; i < 120; ++i) {
    std::string text = "The common word appears everywhere";
    for (int j = 0; j < i % 9; ++j) text += " and grows the chunk a little";
    if (i % 17 == 0) text += " with a rare quokka";
    if (i % 5 == 0) text += " near the harbour";
    out.push_back({"c" + std::to_string(i), text, {{"title", i % 2 ? "Odd" : "Even"}}, {1.0F, 0.0F}});
  }
  return out;
}

struct Scored {
  std::vector<std::string> ids;
  std::vector<double> scores;
  bool operator==(const Scored&) const = default;
};

Scored search(const SqliteChunkStore& s, const std::string& query, const vorn_datastore::Filter& filter = {}) {
  Scored out;
  for (const auto& h : s.search_bm25(query, 10, filter)) {
    out.ids.push_back(h.id);
    out.scores.push_back(h.score);
  }
  return out;
}

class ChunkLengths : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    auto writer = SqliteChunkStore::open(dir_.path() / "s.db", {.dimension = 2});
    writer.add_batch(corpus());
    written_ = search(writer, GetParam());
  }
  SqliteChunkStore reopen() { return SqliteChunkStore::open(dir_.path() / "s.db", {.read_only = true}); }
  TempDir dir_;
  Scored written_;  // ranked by the store that wrote every row
};

TEST_P(ChunkLengths, ScoresAreTheSameBeforeAndAfterTheLengthsAreRead) {
  const SqliteChunkStore fresh = reopen();
  const Scored first = search(fresh, GetParam());
  ASSERT_FALSE(first.ids.empty());
  EXPECT_EQ(first, written_);
  // A search over the most frequent word ranks every row and reads them all.
  EXPECT_FALSE(search(fresh, "common").ids.empty());
  EXPECT_EQ(search(fresh, GetParam()), written_);
  EXPECT_EQ(search(fresh, GetParam(), {{"title", "Odd"}}), search(reopen(), GetParam(), {{"title", "Odd"}}));
}

INSTANTIATE_TEST_SUITE_P(Queries, ChunkLengths,
                         ::testing::Values("quokka", "rare quokka harbour", "harbour", "common quokka",
                                           "chunk grows"));

}  // namespace
