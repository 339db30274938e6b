#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <sqlite3.h>

#include "vorn_core/error.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
// The store's tokenizer and column weights, to compare with SQLite's own bm25().
#include "../../src/vorn_datastore/sqlite/bm25_rank.hpp"
#include "../../src/vorn_datastore/sqlite/fts_tokenizer.hpp"
#include "vorn_datastore/vector_index.hpp"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace vorn_datastore;

namespace {

StoredChunk chunk(std::string id, std::string content, std::vector<float> embedding, json metadata = json::object()) {
  return StoredChunk{std::move(id), std::move(content), std::move(metadata), std::move(embedding)};
}

std::vector<std::string> ids(const std::vector<SearchHit>& hits) {
  std::vector<std::string> out;
  for (const auto& h : hits) out.push_back(h.id);
  return out;
}

std::set<std::string> id_set(const std::vector<SearchHit>& hits) {
  const auto v = ids(hits);
  return {v.begin(), v.end()};
}

class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    path_ = fs::temp_directory_path() / ("vorn_store_" + std::to_string(::getpid()) + "_" + name);
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class StoreTest : public ::testing::Test {
 protected:
  fs::path db() const { return dir_.path() / "store.db"; }

  // Four chunks on the axes of a 3-d space plus one between two axes.
  std::vector<StoredChunk> corpus() const {
    return {
        chunk("a", "Install the package on Debian with apt.", {1, 0, 0}, {{"lang", "en"}, {"year", 2020}}),
        chunk("b", "Paketinstallation unter Debian mit apt.", {0, 1, 0}, {{"lang", "de"}, {"year", 2021}}),
        chunk("c", "Configure the server port in the config file.", {0, 0, 1}, {{"lang", "en"}, {"year", 2021.0}}),
        chunk("d", "Debian and Ubuntu share the apt package manager.", {1, 1, 0},
              {{"lang", "en"}, {"draft", true}, {"tags", {"x", "y"}}}),
    };
  }

  TempDir dir_;
};

TEST_F(StoreTest, ReopenKeepsChunksMetadataAndVectors) {
  {
    auto store = SqliteChunkStore::open(db());
    EXPECT_EQ(store.dimension(), 0U);
    const AddResult r = store.add_batch(corpus());
    EXPECT_EQ(r.added, 4U);
    EXPECT_EQ(r.skipped, 0U);
  }
  auto store = SqliteChunkStore::open(db(), {.read_only = true});
  EXPECT_EQ(store.size(), 4U);
  EXPECT_EQ(store.dimension(), 3U);
  EXPECT_TRUE(store.contains("d"));
  EXPECT_FALSE(store.contains("zzz"));

  const auto d = store.get("d");
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->content, "Debian and Ubuntu share the apt package manager.");
  EXPECT_EQ(d->metadata["tags"], json({"x", "y"}));
  ASSERT_EQ(d->embedding.size(), 3U);
  // Stored unit length.
  EXPECT_NEAR(d->embedding[0], 1.0 / std::sqrt(2.0), 1e-6);
  EXPECT_FALSE(store.get("zzz").has_value());

  const std::vector<float> q{1, 0, 0};
  EXPECT_EQ(ids(store.search_vector(q, 2)), (std::vector<std::string>{"a", "d"}));
  EXPECT_EQ(ids(store.search_bm25("server port", 5)), (std::vector<std::string>{"c"}));
}

TEST_F(StoreTest, ReingestSkipsWhatIsAlreadyStored) {
  auto store = SqliteChunkStore::open(db());
  EXPECT_EQ(store.add_batch(corpus()).added, 4U);

  const AddResult again = store.add_batch(corpus());
  EXPECT_EQ(again.added, 0U);
  EXPECT_EQ(again.skipped, 4U);

  std::vector<StoredChunk> mixed = corpus();
  mixed.push_back(chunk("e", "A new chunk about apt pinning.", {0, 1, 1}));
  mixed.push_back(chunk("e", "A new chunk about apt pinning.", {0, 1, 1}));  // repeated inside the batch
  const AddResult partial = store.add_batch(mixed);
  EXPECT_EQ(partial.added, 1U);
  EXPECT_EQ(partial.skipped, 5U);
  EXPECT_EQ(store.size(), 5U);
  EXPECT_EQ(store.search_vector(std::vector<float>{0, 1, 1}, 10).size(), 5U);

  // The hashes that let a caller skip embedding, one lookup per id, in order.
  const std::vector<std::string_view> asked = {"e", "zzz", "a", "e"};
  const auto hashes = store.stored_hashes(asked);
  ASSERT_EQ(hashes.size(), asked.size());
  for (std::size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(hashes[i], store.stored_hash(asked[i])) << asked[i];
  EXPECT_EQ(hashes[0], chunk_content_hash("e", "A new chunk about apt pinning."));
  EXPECT_FALSE(hashes[1].has_value());
}

TEST(ChunkContentHash, IsStableAndSeparatesIdFromContent) {
  // Pinned: stored hashes must keep matching after upgrades and on other platforms.
  EXPECT_EQ(chunk_content_hash("doc#0", "hello"), 0x40c260d73bc0692aULL);
  EXPECT_NE(chunk_content_hash("ab", "c"), chunk_content_hash("a", "bc"));
}

struct BadBatchCase {
  std::string name;
  std::function<std::vector<StoredChunk>()> batch;
};

class FailedBatchTest : public StoreTest, public ::testing::WithParamInterface<BadBatchCase> {};

TEST_P(FailedBatchTest, LeavesFileAndVectorsUntouched) {
  std::vector<SearchHit> before;
  {
    auto store = SqliteChunkStore::open(db());
    store.add_batch(corpus());
    before = store.search_vector(std::vector<float>{1, 1, 1}, 10);

    try {
      store.add_batch(GetParam().batch());
      FAIL() << "batch was accepted";
    } catch (const StoreError& e) {
      EXPECT_EQ(e.code(), store_errc::kInput) << e.what();
      EXPECT_NE(std::string(e.what()).find("Nothing from this batch was stored"), std::string::npos) << e.what();
    }
    EXPECT_EQ(store.size(), 4U);
    EXPECT_FALSE(store.contains("new1"));
    EXPECT_TRUE(store.search_bm25("zebra", 5).empty());
    const auto after = store.search_vector(std::vector<float>{1, 1, 1}, 10);
    EXPECT_EQ(ids(after), ids(before));
    // The store stays usable after the rollback.
    EXPECT_EQ(store.add_batch({chunk("ok", "fine", {0, 0, 1})}).added, 1U);
  }
  auto reopened = SqliteChunkStore::open(db(), {.check_integrity = true});
  EXPECT_EQ(reopened.size(), 5U);
  EXPECT_FALSE(reopened.contains("new1"));
  EXPECT_EQ(reopened.get("a")->content, "Install the package on Debian with apt.");
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, FailedBatchTest,
    ::testing::Values(
        BadBatchCase{"DuplicateIdWithOtherContent",
                     [] {
                       return std::vector<StoredChunk>{chunk("new1", "zebra one", {1, 0, 0}),
                                                       chunk("new2", "zebra two", {0, 1, 0}),
                                                       chunk("new2", "zebra changed", {0, 1, 0})};
                     }},
        BadBatchCase{"StoredIdWithOtherContent",
                     [] {
                       return std::vector<StoredChunk>{chunk("new1", "zebra one", {1, 0, 0}),
                                                       chunk("a", "zebra rewrite", {1, 0, 0})};
                     }},
        BadBatchCase{"DimensionMismatchInTheMiddle",
                     [] {
                       return std::vector<StoredChunk>{chunk("new1", "zebra one", {1, 0, 0}),
                                                       chunk("new2", "zebra two", {1, 0, 0, 0}),
                                                       chunk("new3", "zebra three", {0, 0, 1})};
                     }},
        BadBatchCase{"NaNEmbedding",
                     [] {
                       return std::vector<StoredChunk>{chunk("new1", "zebra one", {1, 0, 0}),
                                                       chunk("new2", "zebra two", {NAN, 0, 0})};
                     }},
        BadBatchCase{"EmptyId",
                     [] {
                       return std::vector<StoredChunk>{chunk("new1", "zebra one", {1, 0, 0}),
                                                       chunk("", "zebra two", {1, 0, 0})};
                     }},
        BadBatchCase{"MetadataNotAnObject",
                     [] {
                       return std::vector<StoredChunk>{chunk("new1", "zebra one", {1, 0, 0}),
                                                       chunk("new2", "zebra two", {1, 0, 0}, json::array({1}))};
                     }}),
    [](const auto& info) { return info.param.name; });

TEST_F(StoreTest, FailedFirstBatchLeavesDimensionOpen) {
  auto store = SqliteChunkStore::open(db());
  EXPECT_THROW(store.add_batch({chunk("x", "t", {1, 0}), chunk("y", "t", {1, 0, 0})}), StoreError);
  EXPECT_EQ(store.dimension(), 0U);
  EXPECT_EQ(store.add_batch({chunk("x", "t", {1, 0, 0, 0, 0})}).added, 1U);
  EXPECT_EQ(store.dimension(), 5U);
}

struct FilterCase {
  std::string name;
  Filter filter;
  std::set<std::string> expected;
};

class FilterTest : public StoreTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(FilterTest, BothSearchesAgreeOnMatches) {
  auto store = SqliteChunkStore::open(db());
  store.add_batch(corpus());
  // "apt" is in a, b and d; every vector scores > 0 against (1,1,1).
  std::set<std::string> bm25_expected;
  for (const auto& id : GetParam().expected) {
    if (id != "c") bm25_expected.insert(id);
  }
  EXPECT_EQ(id_set(store.search_bm25("apt", 10, GetParam().filter)), bm25_expected);
  EXPECT_EQ(id_set(store.search_vector(std::vector<float>{1, 1, 1}, 10, GetParam().filter)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Metadata, FilterTest,
    ::testing::Values(FilterCase{"String", {{"lang", "en"}}, {"a", "c", "d"}},
                      FilterCase{"IntegerMatchesFloatToo", {{"year", 2021}}, {"b", "c"}},
                      FilterCase{"Float", {{"year", 2020.0}}, {"a"}},
                      FilterCase{"AllPairsMustMatch", {{"lang", "en"}, {"year", 2021}}, {"c"}},
                      FilterCase{"Boolean", {{"draft", true}}, {"d"}},
                      FilterCase{"Array", {{"tags", json({"x", "y"})}}, {"d"}},
                      FilterCase{"NumberIsNotString", {{"year", "2020"}}, {}},
                      FilterCase{"MissingKeyNeverMatches", {{"author", "x"}}, {}},
                      FilterCase{"MissingKeyNeverMatchesNull", {{"author", nullptr}}, {}},
                      FilterCase{"FalseIsNotMissing", {{"draft", false}}, {}}),
    [](const auto& info) { return info.param.name; });

TEST_F(StoreTest, VectorFilterSeesChunksAddedAfterItsFirstUse) {
  auto store = SqliteChunkStore::open(db());
  store.add_batch(corpus());
  const std::vector<float> q{1, 1, 1};
  EXPECT_EQ(store.search_vector(q, 10, {{"lang", "fr"}}).size(), 0U);
  store.add_batch({chunk("f", "Installer le paquet.", {1, 0, 1}, {{"lang", "fr"}, {"year", 2020}})});
  EXPECT_EQ(ids(store.search_vector(q, 10, {{"lang", "fr"}})), (std::vector<std::string>{"f"}));
  EXPECT_EQ(id_set(store.search_vector(q, 10, {{"year", 2020}})), (std::set<std::string>{"a", "f"}));
  // A rolled-back batch must not leave its metadata behind.
  EXPECT_THROW(store.add_batch({chunk("g", "x", {1, 0, 0}, {{"lang", "it"}}), chunk("h", "y", {1, 0})}), StoreError);
  EXPECT_TRUE(store.search_vector(q, 10, {{"lang", "it"}}).empty());
  EXPECT_EQ(ids(store.search_vector(q, 10, {{"lang", "fr"}})), (std::vector<std::string>{"f"}));
}

TEST_F(StoreTest, RemoveDropsChunksEverywhereAndNeverReusesTheirSeq) {
  auto store = SqliteChunkStore::open(db());
  store.add_batch(corpus());
  auto other = SqliteChunkStore::open(db());  // another process's view, opened before the removal
  const std::vector<float> q{1, 1, 0};
  EXPECT_EQ(ids(store.search_vector(q, 4, {{"lang", "en"}})), (std::vector<std::string>{"d", "a", "c"}));

  // "d" holds the highest seq, the one SQLite would hand out next.
  EXPECT_EQ(store.remove({"d", "zzz"}), 1U);
  EXPECT_EQ(store.remove({"d"}), 0U);
  EXPECT_EQ(store.size(), 3U);
  EXPECT_FALSE(store.contains("d"));
  EXPECT_TRUE(store.search_bm25("Ubuntu", 5).empty());
  EXPECT_EQ(ids(store.search_vector(q, 4)), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(ids(store.search_vector(q, 4, {{"lang", "en"}})), (std::vector<std::string>{"a", "c"}));

  store.add_batch({chunk("e", "Fresh text about Ubuntu.", {1, 1, 0}, {{"lang", "en"}})});
  EXPECT_EQ(ids(store.search_vector(q, 4, {{"lang", "en"}})), (std::vector<std::string>{"e", "a", "c"}));
  EXPECT_EQ(ids(store.search_bm25("Ubuntu", 5)), (std::vector<std::string>{"e"}));
  // The stale view still holds d's vector; it must not return e in d's place.
  for (const auto& hit : other.search_vector(q, 4)) {
    EXPECT_NE(hit.id, "d");
    EXPECT_NE(hit.id, "e");
  }

  auto reopened = SqliteChunkStore::open(db(), {.check_integrity = true});
  EXPECT_EQ(reopened.size(), 4U);
  EXPECT_EQ(ids(reopened.search_vector(q, 1)), (std::vector<std::string>{"e"}));
  const auto by_lang = reopened.ids_by_metadata("lang");
  EXPECT_EQ(by_lang.at("en").size(), 3U);
  EXPECT_EQ(by_lang.at("de"), (std::vector<std::string>{"b"}));
  EXPECT_THROW(SqliteChunkStore::open(db(), {.read_only = true}).remove({"a"}), StoreError);
}

TEST_F(StoreTest, FilterKeyWithQuoteIsRejected) {
  auto store = SqliteChunkStore::open(db());
  store.add_batch(corpus());
  try {
    (void)store.search_bm25("apt", 3, {{"a\"b", 1}});
    FAIL();
  } catch (const StoreError& e) {
    EXPECT_EQ(e.code(), store_errc::kInput);
  }
}

TEST_F(StoreTest, Bm25RanksByTermWeightAndLength) {
  auto store = SqliteChunkStore::open(db());
  store.add_batch({
      chunk("one", "The kernel scheduler picks the next task to run on each processor core.", {1, 0}),
      chunk("many", "Scheduler scheduler scheduler: the scheduler tunables.", {1, 0}),
      chunk("none", "A recipe for lemon cake with fresh lemons and sugar.", {1, 0}),
      chunk("rare", "Tune the scheduler with the latency knob.", {1, 0}),
  });
  const auto hits = store.search_bm25("scheduler", 10);
  ASSERT_EQ(hits.size(), 3U);
  EXPECT_EQ(hits.front().id, "many");
  EXPECT_EQ(hits.back().id, "one");  // longest document with a single occurrence
  for (std::size_t i = 0; i < hits.size(); ++i) {
    EXPECT_GT(hits[i].score, 0.0);
    if (i > 0) {
      EXPECT_GE(hits[i - 1].score, hits[i].score);
    }
  }
  // A rare term outweighs a common one; stemming lets "tuning" match "tune".
  EXPECT_EQ(store.search_bm25("scheduler latency", 1).front().id, "rare");
  EXPECT_EQ(store.search_bm25("tuning lemons", 10).size(), 2U);
  EXPECT_EQ(store.search_bm25("scheduler", 2).size(), 2U);
  EXPECT_TRUE(store.search_bm25("scheduler", 0).empty());
  EXPECT_TRUE(store.search_bm25("giraffe", 10).empty());
  // A query made only of stop words still searches.
  EXPECT_EQ(store.search_bm25("with", 10).size(), 2U);
}

TEST_F(StoreTest, Bm25ScoresEqualSqliteBuiltInBm25) {
  {
    auto store = SqliteChunkStore::open(db());
    store.add_batch(corpus());
    store.add_batch({chunk("e", "apt apt apt, and a much longer text about many other things than apt", {0, 1, 1})});
    const auto hits = store.search_bm25("apt debian", 10);
    ASSERT_EQ(hits.size(), 4U);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db().string().c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    // The index holds the store's own terms: SQLite needs its tokenizer.
    fts5_api* api = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw, "SELECT fts5(?1)", -1, &st, nullptr), SQLITE_OK);
    sqlite3_bind_pointer(st, 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    sqlite3_step(st);
    sqlite3_finalize(st);
    ASSERT_NE(api, nullptr);
    vorn_datastore::sqlite::register_tokenizer(api);
    const std::string sql = "SELECT c.id, -bm25(chunks_fts, " + std::to_string(vorn_datastore::sqlite::kTitleWeight) +
                            ", " + std::to_string(vorn_datastore::sqlite::kHeadingWeight) +
                            ", 1.0) FROM chunks_fts JOIN chunks c ON c.seq = chunks_fts.rowid "
                            "WHERE chunks_fts MATCH '\"apt\" OR \"debian\"'";
    ASSERT_EQ(sqlite3_prepare_v2(raw, sql.c_str(), -1, &st, nullptr), SQLITE_OK);
    std::map<std::string, double> reference;
    while (sqlite3_step(st) == SQLITE_ROW) {
      reference[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))] = sqlite3_column_double(st, 1);
    }
    sqlite3_finalize(st);
    sqlite3_close(raw);
    ASSERT_EQ(reference.size(), hits.size());
    for (const auto& h : hits) EXPECT_NEAR(h.score, reference.at(h.id), 1e-9) << h.id;
  }
  // Lengths are reloaded at open, not only tracked during ingest.
  auto reopened = SqliteChunkStore::open(db(), {.read_only = true});
  const auto first = reopened.search_bm25("apt debian", 10);
  auto again = SqliteChunkStore::open(db());
  EXPECT_EQ(ids(first), ids(again.search_bm25("apt debian", 10)));
  EXPECT_NEAR(first.front().score, again.search_bm25("apt debian", 10).front().score, 1e-12);
}

class HostileQueryTest : public StoreTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(HostileQueryTest, IsTreatedAsPlainWords) {
  auto store = SqliteChunkStore::open(db());
  store.add_batch(corpus());
  std::vector<SearchHit> hits;
  EXPECT_NO_THROW(hits = store.search_bm25(GetParam(), 5));
  EXPECT_NO_THROW((void)store.search_bm25(GetParam(), 5, {{"lang", "en"}}));
}

INSTANTIATE_TEST_SUITE_P(Fts5Syntax, HostileQueryTest,
                         ::testing::Values("\"", "AND (", "col:", "content: apt", "NEAR(apt debian, 2)", "apt*",
                                           "^debian", "apt OR", "NOT apt", ")", "-apt", "\"\"\"\"", "'; DROP TABLE chunks;--",
                                           "\xff\xfe apt", "\xF0\x9F\x98\x80 apt", "{content}: apt", "a + b",
                                           "", "   ", std::string(5000, 'x') + " apt"));

TEST_F(StoreTest, HostileQueryStillFindsItsWords) {
  auto store = SqliteChunkStore::open(db());
  store.add_batch(corpus());
  EXPECT_EQ(id_set(store.search_bm25("content:port AND (", 5)), (std::set<std::string>{"c"}));
  EXPECT_TRUE(store.search_bm25("\" ( ) : *", 5).empty());
}

TEST_F(StoreTest, VectorSearchOrdersByCosineAndHonoursMinScore) {
  auto store = SqliteChunkStore::open(db());
  store.add_batch(corpus());
  // Unnormalised query: only the direction counts.
  const std::vector<float> q{3, 1, 0};
  const auto hits = store.search_vector(q, 10);
  ASSERT_EQ(hits.size(), 4U);
  EXPECT_EQ(ids(hits), (std::vector<std::string>{"a", "d", "b", "c"}));
  EXPECT_NEAR(hits[0].score, 3 / std::sqrt(10.0), 1e-5);
  EXPECT_NEAR(hits[3].score, 0.0, 1e-6);
  EXPECT_EQ(hits[0].metadata["year"], 2020);

  EXPECT_EQ(ids(store.search_vector(q, 10, {}, 0.5)), (std::vector<std::string>{"a", "d"}));
  EXPECT_EQ(ids(store.search_vector(q, 1, {}, 0.5)), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(store.search_vector(q, 10, {}, 0.99).empty());
  EXPECT_TRUE(store.search_vector(std::vector<float>{0, 0, 0}, 10).empty());
  EXPECT_TRUE(store.search_vector(q, 0).empty());
  try {
    (void)store.search_vector(std::vector<float>{1, 0}, 3);
    FAIL();
  } catch (const StoreError& e) {
    EXPECT_EQ(e.code(), store_errc::kInput);
  }
}

TEST_F(StoreTest, EmptyStoreSearchesReturnNothing) {
  auto store = SqliteChunkStore::open(db());
  EXPECT_TRUE(store.search_vector(std::vector<float>{1, 0}, 3).empty());
  EXPECT_TRUE(store.search_bm25("anything", 3).empty());
  EXPECT_EQ(store.size(), 0U);
}

struct OpenFailureCase {
  std::string name;
  std::function<void(const fs::path&)> prepare;
  OpenOptions options;
  std::string code;
};

class OpenFailureTest : public StoreTest, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailureTest, GivesStoreErrorWithCode) {
  GetParam().prepare(db());
  try {
    (void)SqliteChunkStore::open(db(), GetParam().options);
    FAIL() << "opened";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.code(), GetParam().code) << e.what();
    EXPECT_NE(std::string(e.what()).find(db().string()), std::string::npos) << e.what();
  }
}

void write_file(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

void make_foreign_sqlite(const fs::path& p) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(p.string().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(x TEXT); INSERT INTO notes VALUES ('hi');", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
}

void make_store_of_dim(const fs::path& p, std::size_t dim) {
  auto s = SqliteChunkStore::open(p, {.dimension = dim});
  s.add_batch({StoredChunk{"x", "x", json::object(), std::vector<float>(dim, 1.0F)}});
}

INSTANTIATE_TEST_SUITE_P(
    Files, OpenFailureTest,
    ::testing::Values(
        OpenFailureCase{"ForeignSqlite", make_foreign_sqlite, {}, store_errc::kForeign},
        OpenFailureCase{"Garbage", [](const fs::path& p) { write_file(p, std::string(4096, 'g')); }, {},
                        store_errc::kCorrupt},
        OpenFailureCase{"TinyFile", [](const fs::path& p) { write_file(p, "SQLite"); }, {}, store_errc::kCorrupt},
        OpenFailureCase{"DamagedPages",
                        [](const fs::path& p) {
                          make_store_of_dim(p, 4);
                          std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
                          f.seekp(100);
                          const std::string junk(4000, '\x5a');
                          f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
                        },
                        {},
                        store_errc::kCorrupt},
        OpenFailureCase{"MissingReadOnly", [](const fs::path&) {}, {.read_only = true}, store_errc::kOpen},
        OpenFailureCase{"Directory", [](const fs::path& p) { fs::create_directories(p); }, {}, store_errc::kOpen},
        OpenFailureCase{"OtherDimension", [](const fs::path& p) { make_store_of_dim(p, 4); }, {.dimension = 8},
                        store_errc::kDimension},
        OpenFailureCase{"NewerSchema",
                        [](const fs::path& p) {
                          make_store_of_dim(p, 2);
                          sqlite3* db = nullptr;
                          sqlite3_open(p.string().c_str(), &db);
                          sqlite3_exec(db, "UPDATE meta SET value = '99' WHERE key = 'schema_version'", nullptr,
                                       nullptr, nullptr);
                          sqlite3_close(db);
                        },
                        {},
                        store_errc::kVersion},
        OpenFailureCase{"OlderFormat",
                        [](const fs::path& p) {
                          make_store_of_dim(p, 2);
                          sqlite3* db = nullptr;
                          sqlite3_open(p.string().c_str(), &db);
                          sqlite3_exec(db, "UPDATE meta SET value = '0' WHERE key = 'schema_version'", nullptr,
                                       nullptr, nullptr);
                          sqlite3_close(db);
                        },
                        {},
                        store_errc::kVersion}),
    [](const auto& info) { return info.param.name; });

TEST_F(StoreTest, FormatMismatchSaysToRebuild) {
  make_store_of_dim(db(), 2);
  sqlite3* raw = nullptr;
  sqlite3_open(db().string().c_str(), &raw);
  sqlite3_exec(raw, "UPDATE meta SET value = '99' WHERE key = 'schema_version'", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  try {
    (void)SqliteChunkStore::open(db(), {.read_only = true});
    FAIL();
  } catch (const vorn_core::BaseError& e) {  // the family's handler catches store errors
    EXPECT_EQ(e.code(), store_errc::kVersion);
    EXPECT_NE(e.message().find("Rebuild the index"), std::string::npos) << e.message();
    EXPECT_NE(e.message().find("format 99"), std::string::npos) << e.message();
  }
}

TEST_F(StoreTest, IndexMetadataPersistsAndStaysApartFromBookkeeping) {
  {
    auto store = SqliteChunkStore::open(db(), {.dimension = 3});
    EXPECT_EQ(store.index_metadata("embedder"), std::nullopt);
    store.set_index_metadata("embedder", "hashing-384");
    store.set_index_metadata("embedder", "hashing-512");
    // Keys named like the store's own rows do not touch them.
    store.set_index_metadata("dimension", "7");
    store.add_batch({chunk("x", "x", {1, 0, 0})});
  }
  auto store = SqliteChunkStore::open(db(), {.read_only = true});
  EXPECT_EQ(store.index_metadata("embedder"), "hashing-512");
  EXPECT_EQ(store.index_metadata("dimension"), "7");
  EXPECT_EQ(store.dimension(), 3U);
  try {
    store.set_index_metadata("embedder", "other");
    FAIL();
  } catch (const StoreError& e) {
    EXPECT_EQ(e.code(), store_errc::kReadOnly);
  }
  auto writable = SqliteChunkStore::open(db());
  EXPECT_THROW(writable.set_index_metadata("", "v"), StoreError);

  // Several keys are one write: a refused key leaves every other one as it was.
  writable.set_index_metadata_many({{"a", "1"}, {"b", "2"}, {"embedder", ""}});
  EXPECT_EQ(writable.index_metadata("a"), "1");
  EXPECT_EQ(writable.index_metadata("b"), "2");
  EXPECT_EQ(writable.index_metadata("embedder"), std::nullopt);
  EXPECT_THROW(writable.set_index_metadata_many({{"a", "3"}, {"", "x"}}), StoreError);
  EXPECT_EQ(writable.index_metadata("a"), "1");
}

TEST_F(StoreTest, MissingParentDirectoryIsAnOpenError) {
  try {
    (void)SqliteChunkStore::open(dir_.path() / "no" / "such" / "store.db");
    FAIL();
  } catch (const StoreError& e) {
    EXPECT_EQ(e.code(), store_errc::kOpen) << e.what();
  }
}

TEST_F(StoreTest, ReadOnlyStoreRejectsWrites) {
  make_store_of_dim(db(), 3);
  auto store = SqliteChunkStore::open(db(), {.read_only = true});
  try {
    store.add_batch({chunk("y", "y", {1, 0, 0})});
    FAIL();
  } catch (const StoreError& e) {
    EXPECT_EQ(e.code(), store_errc::kReadOnly);
  }
}

TEST_F(StoreTest, ConcurrentSearchesMatchSerialResults) {
  auto store = SqliteChunkStore::open(db());
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  const std::vector<std::string> words{"alpha", "beta", "gamma", "delta", "omega", "sigma"};
  std::vector<StoredChunk> batch;
  for (int i = 0; i < 500; ++i) {
    std::vector<float> v(16);
    for (auto& x : v) x = normal(rng);
    batch.push_back(chunk("c" + std::to_string(i), words[i % 6] + " " + words[(i / 6) % 6] + " text",
                          std::move(v), {{"bucket", i % 3}}));
  }
  store.add_batch(batch);

  std::vector<std::vector<float>> queries;
  std::vector<std::vector<std::string>> expected_vec;
  std::vector<std::vector<std::string>> expected_bm25;
  for (int i = 0; i < 12; ++i) {
    std::vector<float> q(16);
    for (auto& x : q) x = normal(rng);
    expected_vec.push_back(ids(store.search_vector(q, 10, i % 2 ? Filter{{"bucket", 1}} : Filter{})));
    expected_bm25.push_back(ids(store.search_bm25(words[i % 6] + " " + words[(i + 1) % 6], 10)));
    queries.push_back(std::move(q));
  }

  std::atomic<int> mismatches{0};
  std::atomic<bool> writing{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 40; ++round) {
        const int i = (t + round) % 12;
        if (ids(store.search_vector(queries[i], 10, i % 2 ? Filter{{"bucket", 1}} : Filter{})) != expected_vec[i]) {
          ++mismatches;
        }
        if (ids(store.search_bm25(words[i % 6] + " " + words[(i + 1) % 6], 10)) != expected_bm25[i]) ++mismatches;
      }
    });
  }
  // A writer running alongside adds rows that rank nowhere near the queries.
  std::thread writer([&] {
    for (int b = 0; b < 5; ++b) {
      store.add_batch({chunk("w" + std::to_string(b), "unrelated zzz", std::vector<float>(16, 0.0F))});
    }
    writing = false;
  });
  for (auto& th : threads) th.join();
  writer.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(store.size(), 505U);

  // Opened afresh, a store holds only the vectors' codes: searches running
  // at once read the exact rows they need at the same time, and agree.
  OpenOptions read_only;
  read_only.read_only = true;
  auto cold = SqliteChunkStore::open(db(), read_only);
  threads.clear();
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 12; ++round) {
        const int i = (t * 5 + round) % 12;
        if (ids(cold.search_vector(queries[i], 10, i % 2 ? Filter{{"bucket", 1}} : Filter{})) != expected_vec[i]) {
          ++mismatches;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0) << "a cold store's concurrent searches";
}

TEST_F(StoreTest, RemovalsRunAlongsideSearches) {
  auto store = SqliteChunkStore::open(db());
  std::mt19937 rng(11);
  std::normal_distribution<float> normal;
  const auto vec = [&] {
    std::vector<float> v(8);
    for (auto& x : v) x = normal(rng);
    return v;
  };
  std::vector<StoredChunk> batch;
  for (int i = 0; i < 200; ++i) {
    batch.push_back(chunk("k" + std::to_string(i), "keep word" + std::to_string(i % 7), vec(), {{"bucket", i % 2}}));
  }
  for (int i = 0; i < 60; ++i) {
    batch.push_back(chunk("r" + std::to_string(i), "gone word" + std::to_string(i % 7), vec(), {{"bucket", i % 2}}));
  }
  store.add_batch(batch);
  std::vector<std::vector<float>> queries;
  for (int i = 0; i < 8; ++i) queries.push_back(vec());

  // Readers only ever see whole chunks that exist or existed, never a row
  // under another chunk's vector, whatever the interleaving.
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      for (int round = 0; round < 30; ++round) {
        const auto& q = queries[(t + round) % 8];
        const Filter filter = round % 2 ? Filter{{"bucket", 1}} : Filter{};
        for (const auto& hit : store.search_vector(q, 20, filter)) {
          const auto expected = store.get(hit.id);
          if (expected && std::abs(VectorIndex::dot(expected->embedding.data(), q.data(), q.size()) /
                                       std::sqrt(VectorIndex::dot(q.data(), q.data(), q.size())) -
                                   hit.score) > 1e-4) {
            ++bad;
          }
        }
        for (const auto& hit : store.search_bm25("word3 gone", 20)) bad += hit.id.empty() ? 1 : 0;
      }
    });
  }
  for (int b = 0; b < 6; ++b) {
    std::vector<std::string> doomed;
    for (int i = 0; i < 10; ++i) doomed.push_back("r" + std::to_string(b * 10 + i));
    EXPECT_EQ(store.remove(doomed), 10U);
    store.add_batch({chunk("n" + std::to_string(b), "new word3", vec(), {{"bucket", 1}})});
  }
  for (auto& th : readers) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(store.size(), 206U);
  for (const auto& hit : store.search_bm25("gone", 100)) ADD_FAILURE() << hit.id;
  EXPECT_EQ(SqliteChunkStore::open(db(), {.check_integrity = true}).size(), 206U);
}

TEST_F(StoreTest, KilledIngestLeavesOnlyWholeBatches) {
  constexpr int kBatch = 50;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      auto store = SqliteChunkStore::open(db());
      for (int b = 0;; ++b) {
        std::vector<StoredChunk> batch;
        for (int i = 0; i < kBatch; ++i) {
          const std::string id = std::to_string(b) + "-" + std::to_string(i);
          batch.push_back(chunk(id, "batch " + id + " words words words", {1.0F, static_cast<float>(i), 2.0F}));
        }
        store.add_batch(batch);
      }
    } catch (const std::exception& e) {
      std::ofstream(db().string() + ".child-error") << e.what();
    }
    ::_exit(1);
  }
  // Let the child commit a few batches, then kill it mid-stream.
  for (int i = 0; i < 200; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::error_code ec;
    const auto wal_bytes = fs::file_size(db().string() + "-wal", ec);  // -1 with ec set while absent
    if (!ec && wal_bytes > 200'000) break;
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  std::string child_error;
  std::getline(std::ifstream(db().string() + ".child-error"), child_error);
  ASSERT_TRUE(WIFSIGNALED(status)) << "ingesting child stopped on its own: " << child_error;

  auto store = SqliteChunkStore::open(db(), {.check_integrity = true});
  EXPECT_GT(store.size(), 0U);
  EXPECT_EQ(store.size() % kBatch, 0U);
  EXPECT_EQ(store.search_bm25("batch", 100000).size(), store.size());
  EXPECT_EQ(store.search_vector(std::vector<float>{1, 0, 2}, 100000).size(), store.size());
}

// --- VectorIndex ---------------------------------------------------------------

class VectorIndexTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(VectorIndexTest, MatchesBruteForce) {
  const std::size_t dim = GetParam();
  std::mt19937 rng(static_cast<unsigned>(dim));
  std::normal_distribution<float> normal;
  VectorIndex index;
  std::vector<std::vector<double>> rows;
  for (int r = 0; r < 700; ++r) {
    std::vector<float> v(dim);
    for (auto& x : v) x = normal(rng);
    if (r % 50 == 7) v = std::vector<float>(dim, 1.0F);  // exact ties
    index.add(v);
    double n = 0;
    for (float x : v) n += double(x) * x;
    std::vector<double> unit;
    for (float x : v) unit.push_back(x / std::sqrt(n));
    rows.push_back(std::move(unit));
  }
  for (int trial = 0; trial < 5; ++trial) {
    std::vector<float> q(dim);
    for (auto& x : q) x = normal(rng);
    if (trial == 0) q = std::vector<float>(dim, 2.0F);
    double qn = 0;
    for (float x : q) qn += double(x) * x;
    std::vector<std::pair<double, std::size_t>> brute;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      double s = 0;
      for (std::size_t d = 0; d < dim; ++d) s += rows[r][d] * q[d];
      brute.emplace_back(s / std::sqrt(qn), r);
    }
    std::sort(brute.begin(), brute.end(), [](auto& a, auto& b) { return a.first > b.first || (a.first == b.first && a.second < b.second); });
    const auto got = index.search(q, 15);
    ASSERT_EQ(got.size(), 15U);
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_NEAR(got[i].score, brute[i].first, 1e-4);
      if (i > 0) {
        EXPECT_TRUE(got[i - 1].score > got[i].score || (got[i - 1].score == got[i].score && got[i - 1].slot < got[i].slot));
      }
    }
    if (trial == 0 && dim > 1) {
      // The all-ones rows tie for first; the earliest slot wins.
      EXPECT_EQ(got[0].slot, 7U);
      EXPECT_EQ(got[1].slot, 57U);
    }
    const std::vector<std::size_t> subset{699, 3, 10, 5000};
    const auto sub = index.search_subset(q, subset, 10);
    ASSERT_EQ(sub.size(), 3U);
    for (const auto& m : sub) EXPECT_TRUE(m.slot == 699 || m.slot == 3 || m.slot == 10);
  }
}

INSTANTIATE_TEST_SUITE_P(Dimensions, VectorIndexTest, ::testing::Values(1, 7, 16, 33, 384));

TEST(VectorIndex, RejectsMismatchedAndNonFiniteInput) {
  VectorIndex index(3);
  EXPECT_THROW(index.add(std::vector<float>{1, 2}), std::invalid_argument);
  EXPECT_THROW(index.add(std::vector<float>{1, INFINITY, 0}), std::invalid_argument);
  index.add(std::vector<float>{1, 2, 3});
  EXPECT_THROW((void)index.search(std::vector<float>{1, 2}, 1), std::invalid_argument);
  EXPECT_THROW((void)index.search(std::vector<float>{NAN, 0, 0}, 1), std::invalid_argument);
  index.truncate(0);
  EXPECT_TRUE(index.empty());
  EXPECT_TRUE(index.search(std::vector<float>{1, 2, 3}, 1).empty());
}

}  // namespace
