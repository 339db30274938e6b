// Crash safety of the store on the indexing path: a child process indexes a
// document tree through the Indexer and the SqliteDataStore and is killed
// with SIGKILL in the middle, again and again. After every kill the store
// opens, passes its integrity check, holds only whole batches of whole
// chunks and never less than before; a last run finishes with everything
// there. Damaged and foreign files end as a clear StoreError, not a crash.
//
// The child is this test binary itself, started afresh (fork + exec) with a
// filter that selects the child "test" below, so it runs under the same
// sanitizer as the parent without inheriting the parent's threads.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vorn_core/syncify.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/indexer.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vorn_datastore::SqliteDataStore;
using vorn_datastore::StoreError;

constexpr std::size_t kDimension = 32;
constexpr std::size_t kBatch = 3;
constexpr const char* kChildVariable = "VORN_RELIABILITY_INDEX_CHILD";
constexpr const char* kPauseVariable = "VORN_RELIABILITY_PAUSE_AT";

vorn_retrieval::IndexerOptions indexer_options() {
  vorn_retrieval::IndexerOptions options;
  options.chunker.chunk_size = 120;
  options.chunker.chunk_overlap = 0;
  options.batch_size = kBatch;
  return options;
}

std::shared_ptr<SqliteDataStore> open_store(const fs::path& path, bool check = false) {
  vorn_datastore::OpenOptions options;
  options.check_integrity = check;
  return SqliteDataStore::open(path, std::make_shared<vorn_inference::HashingEmbedder>(kDimension), options);
}

// The child: index the tree, report each stored batch as a line
// "<chunks done>" in the progress file, and keep going until killed. Past
// the chunk count in kPauseVariable it waits between batches instead: a
// parent that a loaded machine keeps from running still finds it mid-way
// through the tree, never finished.
TEST(CrashSafetyChild, IndexUntilKilled) {
  const char* spec = std::getenv(kChildVariable);
  if (!spec) GTEST_SKIP() << "only runs as the child of CrashSafety tests";
  const char* pause = std::getenv(kPauseVariable);
  const std::size_t pause_at = pause ? std::stoul(pause) : SIZE_MAX;
  const fs::path dir(spec);
  auto store = open_store(dir / "index.db");
  vorn_retrieval::Indexer indexer(store, indexer_options());
  std::ofstream progress(dir / "progress", std::ios::app);
  indexer.on_progress([&](const vorn_retrieval::IndexProgress& p) {
    progress << p.chunks_done << "\n" << std::flush;
    while (p.chunks_done >= pause_at) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  (void)vorn_core::run_sync(indexer.index({dir / "docs"}));
}

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vorn_reliability_crash_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "docs");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Documents of a few dozen paragraphs each, so every file is several batches.
  void write_documents(int files) {
    std::mt19937 rng(11);
    const std::vector<std::string> words = {"store", "batch", "chunk", "vector", "index", "crash", "commit",
                                            "journal", "page", "query", "answer", "fusion", "kill", "reopen"};
    for (int f = 0; f < files; ++f) {
      std::ofstream out(dir_ / "docs" / ("doc" + std::to_string(f) + ".txt"));
      for (int p = 0; p < 14; ++p) {
        for (int w = 0; w < 14; ++w) out << words[rng() % words.size()] << (w == 13 ? ".\n\n" : " ");
      }
    }
  }

  // The chunks the tree should end up as: id -> content.
  std::map<std::string, std::string> expected_chunks() const {
    const vorn_retrieval::TextChunker chunker(indexer_options().chunker);
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::directory_iterator(dir_ / "docs")) {
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      const std::string source = "docs/" + entry.path().filename().string();
      for (const auto& c : chunker.chunk(text.str(), source, false)) out[c.id] = c.content;
    }
    return out;
  }

  // `pause_at`: see the child; SIZE_MAX: it indexes the whole tree.
  pid_t spawn_child(std::size_t pause_at = SIZE_MAX) {
    const std::string filter = "--gtest_filter=CrashSafetyChild.IndexUntilKilled";
    const std::string variable = std::string(kChildVariable) + "=" + dir_.string();
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
    env_strings.push_back(variable);
    if (pause_at != SIZE_MAX) env_strings.push_back(std::string(kPauseVariable) + "=" + std::to_string(pause_at));
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string exe = fs::read_symlink("/proc/self/exe").string();
    std::string quiet = "--gtest_brief=1";
    char* argv[] = {exe.data(), const_cast<char*>(filter.c_str()), quiet.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The child's test output is noise here.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
  }

  // The largest "chunks done" the child has reported.
  std::size_t reported() const {
    std::ifstream in(dir_ / "progress");
    std::size_t best = 0;
    for (std::size_t n; in >> n;) best = std::max(best, n);
    return best;
  }

  fs::path dir_;
};

// Every stored chunk is one of the tree's, with its whole text; every
// document holds whole batches (or all of its chunks).
void expect_whole_batches(SqliteDataStore& store, const std::map<std::string, std::string>& expected) {
  const auto by_source = store.chunk_store().ids_by_metadata("source");
  std::map<std::string, std::size_t> per_source_expected;
  for (const auto& [id, content] : expected) ++per_source_expected[id.substr(0, id.find('#'))];
  std::size_t total = 0;
  for (const auto& [source, ids] : by_source) {
    total += ids.size();
    EXPECT_TRUE(ids.size() % kBatch == 0 || ids.size() == per_source_expected[source])
        << source << " holds " << ids.size() << " chunks: a torn batch";
    for (const auto& id : ids) {
      auto it = expected.find(id);
      ASSERT_NE(it, expected.end()) << "unknown chunk " << id;
      auto chunk = store.get(id);
      ASSERT_TRUE(chunk) << id;
      EXPECT_EQ(chunk->content, it->second) << id;
    }
  }
  EXPECT_EQ(total, store.size());
}

TEST_F(CrashSafety, RepeatedKillsDuringIndexingLoseNothingAndTheRerunCompletes) {
  write_documents(12);
  const auto expected = expected_chunks();
  ASSERT_GT(expected.size(), 60U);

  constexpr int kCycles = 6;
  int killed = 0;
  std::size_t stored_before = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    fs::remove(dir_ / "progress");
    // Kill it once it has gone a few batches past what is already stored;
    // it goes on writing for two batches more at most, so the kill lands
    // in a write or between two, and six cycles leave the tree unfinished.
    const std::size_t target = stored_before + kBatch * static_cast<std::size_t>(1 + cycle % 3);
    ASSERT_LT(target + 2 * kBatch, expected.size());
    const pid_t child = spawn_child(target + 2 * kBatch);
    ASSERT_GT(child, 0) << "cannot start the child";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    bool exited = false;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(child, &status, WNOHANG) == child) {
        exited = true;
        break;
      }
      if (reported() >= target) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!exited) {
      ::kill(child, SIGKILL);
      ASSERT_EQ(::waitpid(child, &status, 0), child);
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
      ++killed;
    } else {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the indexing child failed on its own";
    }

    auto store = open_store(dir_ / "index.db", /*check=*/true);
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    expect_whole_batches(*store, expected);
    EXPECT_GE(store->size(), stored_before) << "a kill lost committed chunks";
    stored_before = store->size();
  }
  EXPECT_GE(killed, kCycles - 1) << "most cycles must end in a kill mid-indexing";

  // The rerun resumes and completes: every chunk there, nothing extra.
  auto store = open_store(dir_ / "index.db", /*check=*/true);
  vorn_retrieval::Indexer indexer(store, indexer_options());
  const auto summary = vorn_core::run_sync(indexer.index({dir_ / "docs"}));
  EXPECT_TRUE(summary.ok());
  EXPECT_EQ(summary.chunks_added + summary.chunks_skipped, expected.size());
  EXPECT_EQ(store->size(), expected.size());
  expect_whole_batches(*store, expected);
  vorn_retrieval::FulltextRetriever search(store);
  vorn_retrieval::RetrieveOptions options;
  options.top_k = static_cast<std::int64_t>(expected.size());
  const auto hits = vorn_core::to_chunk_list(vorn_core::run_sync(search.retrieve(vorn_core::Value("journal"), options)));
  EXPECT_FALSE(hits.empty());
  std::printf("[ crash    ] %d SIGKILL cycles survived, %zu of %zu chunks stored before the rerun, %zu after\n",
              killed, stored_before, expected.size(), store->size());
}

// A kill between a batch and the store's close leaves beside the store the
// vector file of the state before the kill. Readers must not take it for
// current: they find every committed chunk by its vector; the next writer
// to close the store replaces the file.
TEST_F(CrashSafety, VectorFileLeftByAKilledIndexerIsNeverTakenForCurrent) {
  write_documents(3);
  {
    const pid_t first = spawn_child();  // the whole tree, then a normal close
    ASSERT_GT(first, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(first, &status, 0), first);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const fs::path db = dir_ / "index.db";
  const fs::path vectors = dir_ / "index.db-vectors";
  ASSERT_TRUE(fs::exists(vectors)) << "a closed store keeps its vectors beside it";
  const std::size_t first_run = open_store(db)->size();

  write_documents(6);  // the same three documents, and three more
  fs::remove(dir_ / "progress");
  const std::size_t pause_at = first_run + 2 * kBatch;
  const pid_t child = spawn_child(pause_at);
  ASSERT_GT(child, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (reported() < pause_at && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_GE(reported(), pause_at) << "the child stopped early";

  std::string stale_bytes;
  {
    std::ifstream in(vectors, std::ios::binary);
    stale_bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  vorn_datastore::OpenOptions read_only;
  read_only.read_only = true;
  const auto embedder = std::make_shared<vorn_inference::HashingEmbedder>(kDimension);
  const auto check_reader = [&] {
    auto reader = SqliteDataStore::open(db, embedder, read_only);
    const auto& chunks = reader->chunk_store();
    const auto by_source = chunks.ids_by_metadata("source");
    std::size_t stored = 0;
    for (const auto& [source, ids] : by_source) stored += ids.size();
    EXPECT_GT(stored, first_run) << "the killed run stored nothing";
    EXPECT_EQ(reader->size(), stored) << "a reader took the vectors of an earlier state for current";
    // Each chunk of the new documents is found by its own vector.
    for (const auto& [source, ids] : by_source) {
      if (source < "docs/doc3") continue;
      for (const auto& id : ids) {
        const auto chunk = chunks.get(id);
        ASSERT_TRUE(chunk);
        const auto hits = chunks.search_vector(chunk->embedding, 1);
        ASSERT_FALSE(hits.empty()) << id;
        EXPECT_NEAR(hits.front().score, 1.0, 1e-5) << id;
      }
    }
  };
  check_reader();
  { auto writer = open_store(db); }
  std::string fresh_bytes;
  {
    std::ifstream in(vectors, std::ios::binary);
    fresh_bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_NE(fresh_bytes, stale_bytes) << "the next writer left the stale vector file";
  check_reader();
}

// ---- damaged and foreign files ------------------------------------------------------------

struct Damage {
  const char* name;
  void (*apply)(const fs::path& db);
};

void truncate_half(const fs::path& db) { fs::resize_file(db, fs::file_size(db) / 2); }

void scribble(const fs::path& db, std::size_t offset, std::size_t bytes, unsigned seed) {
  std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
  std::mt19937 rng(seed);
  f.seekp(static_cast<std::streamoff>(offset));
  for (std::size_t i = 0; i < bytes; ++i) f.put(static_cast<char>(rng()));
}

// Another program's SQLite database at the store's path.
void foreign_database(const fs::path& db) {
  fs::remove(db);
  sqlite3* handle = nullptr;
  sqlite3_open(db.string().c_str(), &handle);
  sqlite3_exec(handle, "CREATE TABLE chunks(id TEXT, content TEXT); INSERT INTO chunks VALUES ('a', 'b');", nullptr,
               nullptr, nullptr);
  sqlite3_close(handle);
}

const Damage kDamages[] = {
    {"another program's database", foreign_database},
    {"truncated to half", truncate_half},
    {"header scribbled", [](const fs::path& db) { scribble(db, 16, 80, 1); }},
    {"pages scribbled", [](const fs::path& db) { scribble(db, 4096, 8192, 2); }},
    {"tail scribbled", [](const fs::path& db) { scribble(db, fs::file_size(db) - 3000, 3000, 3); }},
    {"text file", [](const fs::path& db) { std::ofstream(db, std::ios::trunc) << "just some notes\n"; }},
    {"zero bytes", [](const fs::path& db) { std::ofstream(db, std::ios::trunc | std::ios::binary) << std::string(8192, '\0'); }},
};

TEST_F(CrashSafety, DamagedStoresEndAsStoreErrorsNotCrashes) {
  write_documents(3);
  const fs::path pristine = dir_ / "pristine.db";
  {
    auto store = open_store(pristine);
    vorn_retrieval::Indexer indexer(store, indexer_options());
    ASSERT_TRUE(vorn_core::run_sync(indexer.index({dir_ / "docs"})).ok());
  }
  int handled = 0;
  int refused = 0;
  for (const Damage& damage : kDamages) {
    SCOPED_TRACE(damage.name);
    const fs::path db = dir_ / "damaged.db";
    fs::copy_file(pristine, db, fs::copy_options::overwrite_existing);
    damage.apply(db);
    // Whatever the damage, each use of the file either works or ends as a
    // StoreError with a code; nothing else escapes.
    try {
      auto store = open_store(db, /*check=*/false);
      vorn_retrieval::FulltextRetriever search(store);
      (void)vorn_core::run_sync(search.retrieve(vorn_core::Value("store batch"), {}));
      vorn_retrieval::Indexer indexer(store, indexer_options());
      const auto summary = vorn_core::run_sync(indexer.index({dir_ / "docs"}));
      for (const auto& e : summary.errors) EXPECT_FALSE(e.code.empty()) << e.message;
      store->chunk_store().check_integrity();
    } catch (const StoreError& e) {
      EXPECT_TRUE(e.code().starts_with("VORN-STORE-")) << e.what();
      EXPECT_NE(std::string(e.what()).find(db.string()), std::string::npos) << e.what();
      ++refused;
    }
    ++handled;
    fs::remove(db);
    fs::remove(db.string() + "-wal");
    fs::remove(db.string() + "-shm");
  }
  EXPECT_EQ(handled, static_cast<int>(std::size(kDamages)));
  // Scribbles may land on pages a check does not read; the header, the
  // foreign schema and the text files never pass.
  EXPECT_GE(refused, 4);
  std::printf("[ crash    ] %d damaged or foreign files: %d refused with a StoreError, none crashed\n", handled,
              refused);
}

}  // namespace
