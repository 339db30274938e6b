// The in-memory text index must rank exactly as the FTS5 ranking function
// does: same hits, same order, same scores to the last bit, ties included,
// before and after the store is written to.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "component_support.hpp"
#include "text_index.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace {

using namespace vorn_components_test;
using vorn_datastore::OpenOptions;
using vorn_datastore::SearchHit;
using vorn_datastore::SqliteChunkStore;
using vorn_datastore::StoredChunk;

// Frequent function words, inflected forms that share a stem, code-like
// tokens and plain words: the shapes the tokenizer treats differently.
const std::vector<std::string> kWords = {
    "the", "of", "and", "is", "to", "copy", "copies", "copying", "reset", "--soft", "pg_dump", "os.path.join",
    "branch", "index", "vacuum", "rows", "space", "tree", "merge", "rebase", "commit", "stash", "wal", "page",
    "cache", "frame", "queue", "token", "stem", "weight", "score", "chunk", "title", "heading", "summary", "kelp",
    "zorb", "quill", "naïve", "Café"};

std::string word(std::mt19937& rng) {
  // Zipf-like: low ranks far more often, so some terms are in most chunks.
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double x = u(rng);
  return kWords[static_cast<std::size_t>(x * x * x * static_cast<double>(kWords.size()))];
}

std::string text(std::mt19937& rng, int min_words, int max_words) {
  std::uniform_int_distribution<int> n(min_words, max_words);
  std::string out;
  for (int i = n(rng); i > 0; --i) out += word(rng) + (rng() % 7 == 0 ? ". " : " ");
  return out;
}

std::vector<StoredChunk> corpus(std::mt19937& rng, std::size_t count, std::size_t first_id) {
  std::vector<StoredChunk> chunks;
  for (std::size_t i = 0; i < count; ++i) {
    nlohmann::json metadata = nlohmann::json::object();
    if (rng() % 3 == 0) metadata["title"] = text(rng, 1, 3);
    if (rng() % 4 == 0) metadata["summary"] = text(rng, 2, 6);
    if (rng() % 3 == 0) metadata["heading"] = text(rng, 1, 4);
    // Repeated texts under other ids tie, and must stay in seq order.
    std::string content = rng() % 10 == 0 && !chunks.empty() ? chunks[rng() % chunks.size()].content
                                                             : text(rng, 0, 40);
    chunks.push_back({"c" + std::to_string(first_id + i), std::move(content), std::move(metadata),
                      {1.0F, static_cast<float>(i % 5)}});
  }
  return chunks;
}

void expect_same(const std::vector<SearchHit>& expected, const std::vector<SearchHit>& actual,
                 const std::string& query, std::size_t k) {
  ASSERT_EQ(expected.size(), actual.size()) << "query '" << query << "' top " << k;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].id, actual[i].id) << "query '" << query << "' top " << k << " rank " << i;
    EXPECT_EQ(expected[i].score, actual[i].score) << "query '" << query << "' top " << k << " rank " << i;
    EXPECT_EQ(expected[i].content, actual[i].content);
    EXPECT_EQ(expected[i].metadata, actual[i].metadata);
  }
}

void compare_queries(const SqliteChunkStore& fts, const SqliteChunkStore& memory, std::mt19937& rng, int queries) {
  const std::size_t ks[] = {1, 3, 10, 40, 5000};
  for (int q = 0; q < queries; ++q) {
    const std::string query = text(rng, 1, 5);
    const std::size_t k = ks[rng() % std::size(ks)];
    expect_same(fts.search_bm25(query, k), memory.search_bm25(query, k), query, k);
  }
}

struct CorpusShape {
  unsigned seed;
  std::size_t chunks;
};
void PrintTo(const CorpusShape& shape, std::ostream* os) {
  *os << shape.chunks << " chunks, seed " << shape.seed;
}

class MemoryTextIndexEquivalence : public ::testing::TestWithParam<CorpusShape> {};

TEST_P(MemoryTextIndexEquivalence, RanksAsTheFullTextEngineOnRandomCorpora) {
  TempDir dir;
  const auto path = dir.path() / "s.db";
  std::mt19937 rng(GetParam().seed);
  {
    auto writer = SqliteChunkStore::open(path, {.dimension = 2});
    writer.add_batch(corpus(rng, GetParam().chunks, 0));
  }
  const auto fts = SqliteChunkStore::open(path, {.read_only = true});
  const auto memory = SqliteChunkStore::open(path, {.read_only = true, .memory_text_index = true});
  compare_queries(fts, memory, rng, 150);
  // Filtered searches are answered by FTS5 on both sides.
  const vorn_datastore::Filter filter = {{"title", "kelp"}};
  expect_same(fts.search_bm25("kelp copy", 10, filter), memory.search_bm25("kelp copy", 10, filter), "kelp", 10);
}

INSTANTIATE_TEST_SUITE_P(Corpora, MemoryTextIndexEquivalence,
                         ::testing::Values(CorpusShape{1, 1}, CorpusShape{2, 12}, CorpusShape{3, 80},
                                           CorpusShape{4, 300}, CorpusShape{5, 700}));

TEST(MemoryTextIndex, FollowsTheStoresOwnAddsAndRemovals) {
  TempDir dir;
  const auto path = dir.path() / "s.db";
  std::mt19937 rng(9);
  auto store = SqliteChunkStore::open(path, {.dimension = 2, .memory_text_index = true});
  store.add_batch(corpus(rng, 120, 0));
  ASSERT_FALSE(store.search_bm25("reset branch", 5).empty());  // loads the copy
  store.add_batch(corpus(rng, 60, 1000));
  std::vector<std::string> gone;
  for (int i = 0; i < 120; i += 3) gone.push_back("c" + std::to_string(i));
  ASSERT_GT(store.remove(gone), 0U);
  const auto fts = SqliteChunkStore::open(path, {.read_only = true});
  compare_queries(fts, store, rng, 80);
  for (const std::string& id : gone) {
    for (const SearchHit& hit : store.search_bm25("the of and copy reset zorb", 500)) ASSERT_NE(hit.id, id);
  }
}

TEST(MemoryTextIndex, AnswersFromTheCopyReadAtTheFirstSearch) {
  TempDir dir;
  const auto path = dir.path() / "s.db";
  auto writer = SqliteChunkStore::open(path, {.dimension = 2});
  writer.add_batch({{"old", "kelp forests", {}, {1.0F, 0.0F}}});
  const auto memory = SqliteChunkStore::open(path, {.read_only = true, .memory_text_index = true});
  ASSERT_EQ(memory.search_bm25("kelp", 5).size(), 1U);
  // Written through another opening, as another process would: the copy
  // does not see it, a fresh opening does.
  writer.add_batch({{"new", "more kelp", {}, {1.0F, 0.0F}}});
  EXPECT_EQ(memory.search_bm25("kelp", 5).size(), 1U);
  EXPECT_EQ(SqliteChunkStore::open(path, {.read_only = true, .memory_text_index = true}).search_bm25("kelp", 5).size(),
            2U);
}

TEST(MemoryTextIndex, WarmUpReadsTheCopyBeforeTheFirstSearch) {
  TempDir dir;
  const auto path = dir.path() / "s.db";
  auto writer = SqliteChunkStore::open(path, {.dimension = 2});
  writer.add_batch({{"old", "kelp forests", {}, {1.0F, 0.0F}}});
  const auto memory = SqliteChunkStore::open(path, {.read_only = true, .memory_text_index = true});
  memory.warm_up();
  writer.add_batch({{"new", "more kelp", {}, {1.0F, 0.0F}}});
  EXPECT_EQ(memory.search_bm25("kelp", 5).size(), 1U) << "the copy was read at warm-up, before the second batch";
  // Without the copy there is nothing to read ahead, and FTS5 sees every batch.
  const auto plain = SqliteChunkStore::open(path, {.read_only = true});
  plain.warm_up();
  writer.add_batch({{"newer", "kelp again", {}, {1.0F, 0.0F}}});
  EXPECT_EQ(plain.search_bm25("kelp", 5).size(), 3U);
}

TEST(MemoryTextIndex, SearchesRacingTheFirstLoadAgreeWithSerialOnes) {
  TempDir dir;
  const auto path = dir.path() / "s.db";
  std::mt19937 rng(21);
  {
    auto writer = SqliteChunkStore::open(path, {.dimension = 2});
    writer.add_batch(corpus(rng, 400, 0));
  }
  std::vector<std::string> queries;
  for (int i = 0; i < 40; ++i) queries.push_back(text(rng, 1, 4));
  const auto fts = SqliteChunkStore::open(path, {.read_only = true});
  std::vector<std::vector<SearchHit>> expected;
  for (const auto& q : queries) expected.push_back(fts.search_bm25(q, 10));

  const auto memory = SqliteChunkStore::open(path, {.read_only = true, .memory_text_index = true});
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = 0; i < queries.size(); ++i) {
        const std::size_t q = (i + static_cast<std::size_t>(t) * 7) % queries.size();
        const auto hits = memory.search_bm25(queries[q], 10);
        bool same = hits.size() == expected[q].size();
        for (std::size_t h = 0; same && h < hits.size(); ++h) {
          same = hits[h].id == expected[q][h].id && hits[h].score == expected[q][h].score;
        }
        if (!same) ++mismatches[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(MemoryTextIndex, OccurrencesOutOfChunkOrderAreMergedPerChunk) {
  using vorn_datastore::sqlite::TextIndex;
  TextIndex grouped;
  TextIndex scattered;
  for (TextIndex* index : {&grouped, &scattered}) {
    index->add_chunk(3, 4);
    index->add_chunk(8, 2);
    index->add_chunk(9, 6);
  }
  // (seq, column) occurrences of one term.
  const std::vector<std::pair<std::int64_t, int>> occurrences = {{3, 2}, {3, 0}, {8, 1}, {9, 2}, {9, 2}};
  for (const auto& [seq, column] : occurrences) grouped.add_occurrence("kelp", seq, column);
  for (const auto& [seq, column] : {occurrences[4], occurrences[0], occurrences[2], occurrences[3], occurrences[1]}) {
    scattered.add_occurrence("kelp", seq, column);
    scattered.add_occurrence("zorb", seq, column);  // interleaved with another term
  }
  grouped.finish(3, 12);
  scattered.finish(3, 12);
  const std::vector<std::string> terms = {"kelp"};
  const auto a = grouped.top(terms, 10);
  const auto b = scattered.top(terms, 10);
  ASSERT_EQ(a.size(), 3U);
  ASSERT_EQ(b.size(), 3U);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].seq, b[i].seq);
    EXPECT_EQ(a[i].score, b[i].score);
  }
  EXPECT_EQ(scattered.document_frequency("kelp"), 3);
  EXPECT_EQ(scattered.document_frequency("absent"), 0);
}

}  // namespace
