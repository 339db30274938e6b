// Indexing files into the SQLite store: resume, progress, summary, errors.
#include <gtest/gtest.h>

#include "component_support.hpp"
#include "vorn_core/error.hpp"
#include "vorn_datastore/in_memory_data_store.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/vector_retriever.hpp"
#include "vorn_retrieval/indexer.hpp"
#include "vorn_retrieval/sources.hpp"

namespace {

using namespace vorn_components_test;
using vorn_core::run_sync;
using vorn_retrieval::IndexProgress;
using vorn_retrieval::Indexer;
using vorn_retrieval::IndexSummary;

// Embeds like the hashing embedder but fails any call with a text that
// holds `poison`.
class RefusingEmbedder final : public vorn_inference::BaseEmbedder {
 public:
  RefusingEmbedder(std::string poison, std::size_t dimension) : poison_(std::move(poison)), inner_(dimension) {}
  std::size_t dimension() const noexcept override { return inner_.dimension(); }
  vorn_core::Task<std::vector<vorn_inference::Embedding>> embed(std::vector<std::string> texts) override {
    for (const std::string& t : texts) {
      if (t.find(poison_) != std::string::npos) throw std::runtime_error("the embedder refused a text");
    }
    return inner_.embed(std::move(texts));
  }

 private:
  std::string poison_;
  vorn_inference::HashingEmbedder inner_;
};

std::string paragraphs(const std::string& topic, int n) {
  std::string out = "# " + topic + "\n\n";
  for (int i = 0; i < n; ++i) {
    out += "Paragraph " + std::to_string(i) + " explains " + topic + " in some detail, with enough words to fill "
           "a good part of a chunk of text.\n\n";
  }
  return out;
}

class IndexerTest : public ::testing::Test {
 protected:
  IndexerTest() {
    dir_.write("corpus/guide.md", paragraphs("installation", 6));
    dir_.write("corpus/notes/usage.txt", "Run the program with a question. It prints the answer.");
    dir_.write("corpus/notes/ignored.bin", "not a document type");
  }
  std::shared_ptr<vorn_datastore::SqliteDataStore> open() {
    return vorn_datastore::SqliteDataStore::open(dir_.path() / "store.db", embedder_);
  }
  vorn_retrieval::IndexerOptions small_chunks() {
    vorn_retrieval::IndexerOptions o;
    o.chunker = {.chunk_size = 200, .chunk_overlap = 20};
    o.batch_size = 2;
    return o;
  }

  TempDir dir_;
  std::shared_ptr<CountingEmbedder> embedder_ = std::make_shared<CountingEmbedder>(64);
};

TEST_F(IndexerTest, IndexesTreesWithSourceIdsAndMetadata) {
  auto store = open();
  const IndexSummary summary = run_sync(Indexer(store, small_chunks()).index({dir_.path() / "corpus"}));
  EXPECT_TRUE(summary.ok());
  EXPECT_EQ(summary.files_seen, 3U);
  EXPECT_EQ(summary.files_indexed, 2U);
  ASSERT_EQ(summary.skipped.size(), 1U);
  EXPECT_EQ(summary.skipped[0].reason, vorn_retrieval::load_errc::kUnsupported);
  EXPECT_GT(summary.chunks_added, 3U);
  EXPECT_EQ(summary.chunks_skipped, 0U);
  EXPECT_EQ(store->size(), summary.chunks_added);

  vorn_retrieval::FulltextRetriever retriever(store);
  vorn_retrieval::RetrieveOptions options;
  options.query_filter = vorn_core::Dict{{"source", "corpus/notes/usage.txt"}};
  const auto hits = vorn_core::to_chunk_list(run_sync(retriever.retrieve("program question", options)));
  ASSERT_EQ(hits.size(), 1U);
  EXPECT_TRUE(hits[0]->id.starts_with("corpus/notes/usage.txt#0-")) << hits[0]->id;
  EXPECT_EQ(hits[0]->metadata.get("chunk"), vorn_core::Value(0));
  EXPECT_EQ(hits[0]->metadata.get("start"), vorn_core::Value(0));

  const auto guide = vorn_core::to_chunk_list(run_sync(retriever.retrieve("installation paragraph", {})));
  ASSERT_FALSE(guide.empty());
  EXPECT_EQ(guide[0]->metadata.get("heading"), vorn_core::Value("installation"));
}

TEST_F(IndexerTest, RerunSkipsWhatIsStoredWithoutEmbeddingIt) {
  auto store = open();
  const IndexSummary first = run_sync(Indexer(store, small_chunks()).index({dir_.path() / "corpus"}));
  const std::size_t embedded = embedder_->embedded();

  // One file changes, one is new: only their new chunks are embedded.
  dir_.write("corpus/notes/usage.txt", "Run the program with a question. It prints the answer and its sources.");
  dir_.write("corpus/new.md", "A new page.");
  const IndexSummary second = run_sync(Indexer(store, small_chunks()).index({dir_.path() / "corpus"}));
  EXPECT_TRUE(second.ok());
  EXPECT_EQ(second.files_seen, 4U);
  EXPECT_EQ(second.chunks_added, 2U);
  EXPECT_EQ(second.chunks_skipped, first.chunks_added - 1);  // the guide's chunks
  EXPECT_EQ(embedder_->embedded(), embedded + 2);
  // The old version of the changed file is gone, so no answer can quote it.
  EXPECT_EQ(second.chunks_replaced, 1U);
  EXPECT_EQ(second.chunks_removed, 0U);
  EXPECT_EQ(store->size(), first.chunks_added + 1);
  vorn_retrieval::FulltextRetriever retriever(store);
  const auto hits = vorn_core::to_chunk_list(run_sync(retriever.retrieve("program question answer", {})));
  ASSERT_EQ(hits.size(), 1U);
  EXPECT_NE(hits[0]->content.find("its sources"), std::string::npos);
}

TEST_F(IndexerTest, ReportsProgressWithTotals) {
  auto store = open();
  std::vector<IndexProgress> seen;
  Indexer indexer(store, small_chunks());
  indexer.on_progress([&](const IndexProgress& p) { seen.push_back(p); });
  const IndexSummary summary = run_sync(indexer.index({dir_.path() / "corpus"}));

  // Each file is announced before it is read, all before anything is stored.
  ASSERT_GT(seen.size(), 2U);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(seen[i].stage, vorn_retrieval::IndexStage::reading);
    EXPECT_EQ(seen[i].documents_done, i);
    EXPECT_FALSE(seen[i].source.empty());
  }
  EXPECT_NE(seen[0].source, seen[1].source);
  seen.erase(seen.begin(), seen.begin() + 2);
  const std::size_t total = summary.chunks_added;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].stage, vorn_retrieval::IndexStage::storing);
    EXPECT_EQ(seen[i].documents_total, 2U);
    EXPECT_EQ(seen[i].chunks_total, total);
    if (i > 0) {
      EXPECT_GE(seen[i].chunks_done, seen[i - 1].chunks_done);
      EXPECT_GE(seen[i].documents_done, seen[i - 1].documents_done);
    }
  }
  EXPECT_EQ(seen.back().documents_done, 2U);
  EXPECT_EQ(seen.back().chunks_done, total);
  // Batches of two: the guide's chunks arrive in several steps.
  EXPECT_GT(seen.size(), 2U + 1U);
}

TEST_F(IndexerTest, UnreadableFilesAreReportedAndSkipped) {
  dir_.write("corpus/broken.md", "valid start \xFF\xFE invalid bytes");
  dir_.write("corpus/huge.txt", std::string(5000, 'x'));
  auto options = small_chunks();
  options.loader.invalid_utf8 = vorn_retrieval::InvalidUtf8::reject;
  options.loader.max_file_bytes = 4000;
  auto store = open();
  const IndexSummary summary =
      run_sync(Indexer(store, options).index({dir_.path() / "corpus", dir_.path() / "missing"}));

  EXPECT_FALSE(summary.ok());
  EXPECT_EQ(summary.files_seen, 5U);
  EXPECT_EQ(summary.files_indexed, 2U);
  std::map<std::string, std::string> codes;
  for (const auto& e : summary.errors) codes[e.source] = e.code;
  EXPECT_EQ(codes["corpus/broken.md"], vorn_retrieval::load_errc::kEncoding);
  EXPECT_EQ(codes[(dir_.path() / "missing").string()], vorn_retrieval::load_errc::kNotFound);
  EXPECT_EQ(summary.errors.size(), 2U);
  // Not a failure: a file too large to be a document is passed over, with why.
  const auto reasons = summary.skipped_by_reason();
  EXPECT_EQ(reasons.at(vorn_retrieval::load_errc::kTooLarge), 1U);
  EXPECT_EQ(reasons.at(vorn_retrieval::load_errc::kUnsupported), 1U);
  EXPECT_GT(store->size(), 0U);  // the good files went in
}

TEST_F(IndexerTest, StoreFailuresAreReportedPerFile) {
  auto failing = std::make_shared<TableEmbedder>(std::map<std::string, vorn_inference::Embedding>{}, 64);
  failing->set_failing(true);
  auto store = vorn_datastore::SqliteDataStore::open(dir_.path() / "store.db", failing);
  const IndexSummary summary = run_sync(Indexer(store, small_chunks()).index({dir_.path() / "corpus"}));
  EXPECT_EQ(summary.files_indexed, 0U);
  ASSERT_EQ(summary.errors.size(), 2U);
  EXPECT_EQ(summary.errors[0].message, "embedding service unavailable");
  EXPECT_EQ(store->size(), 0U);
}

// The indexer needs only a store that accepts writes: the same run over the
// in-memory store stores, skips and prunes as over the SQLite one.
TEST_F(IndexerTest, IndexesIntoAnyWritableStore) {
  auto memory = std::make_shared<vorn_datastore::InMemoryDataStore>(embedder_);
  const IndexSummary first = run_sync(Indexer(memory, small_chunks()).index({dir_.path() / "corpus"}));
  auto sqlite = open();
  const IndexSummary reference = run_sync(Indexer(sqlite, small_chunks()).index({dir_.path() / "corpus"}));
  EXPECT_TRUE(first.ok());
  EXPECT_EQ(first.chunks_added, reference.chunks_added);
  EXPECT_EQ(memory->size(), sqlite->size());

  dir_.write("corpus/notes/usage.txt", "Run the program with a different question now.");
  const IndexSummary second = run_sync(Indexer(memory, small_chunks()).index({dir_.path() / "corpus"}));
  EXPECT_EQ(second.chunks_added, 1U);
  EXPECT_EQ(second.chunks_replaced, 1U);
  EXPECT_EQ(memory->ids_by_metadata("source").at("corpus/notes/usage.txt").size(), 1U);
}

// One file is one source however it is named; sources can be listed,
// removed by file or folder, and pruned when their files are gone.
TEST_F(IndexerTest, SourcesAreFilesByResolvedPath) {
  auto store = open();
  const fs::path guide = dir_.path() / "corpus" / "guide.md";
  (void)run_sync(Indexer(store, small_chunks()).index({dir_.path() / "corpus"}));
  const std::size_t stored = store->size();
  // The same file again, by itself and through "..": nothing new is stored.
  const IndexSummary again =
      run_sync(Indexer(store, small_chunks()).index({guide, dir_.path() / "corpus" / "notes" / ".." / "guide.md"}));
  EXPECT_EQ(again.files_seen, 1U);
  EXPECT_EQ(store->size(), stored) << "one copy of the file, whatever it was called";

  auto sources = vorn_retrieval::list_sources(*store);
  ASSERT_EQ(sources.size(), 2U);
  EXPECT_EQ(sources[0].path, vorn_retrieval::source_identity(guide));
  EXPECT_EQ(sources[0].name, "corpus/guide.md");  // the name it was first indexed under
  EXPECT_FALSE(sources[0].indexed_at.empty());
  EXPECT_EQ(sources[0].chunks + sources[1].chunks, stored);

  fs::remove(dir_.path() / "corpus" / "notes" / "usage.txt");
  auto prune = small_chunks();
  prune.prune = true;
  const IndexSummary pruned = run_sync(Indexer(store, prune).index({guide}));
  EXPECT_EQ(pruned.sources_removed, 1U);
  EXPECT_EQ(pruned.chunks_removed, sources[1].chunks);

  const auto removed = vorn_retrieval::remove_sources(*store, {dir_.path() / "corpus", dir_.path() / "elsewhere"});
  EXPECT_EQ(removed.sources, 1U);
  EXPECT_EQ(removed.unmatched, (std::vector<std::string>{vorn_retrieval::source_identity(dir_.path() / "elsewhere")}));
  EXPECT_EQ(store->size(), 0U);
  EXPECT_TRUE(vorn_retrieval::list_sources(*store).empty());
  EXPECT_EQ(store->index_metadata(std::string(vorn_retrieval::kIndexedAtKeyPrefix) + sources[0].path), std::nullopt);
}

TEST_F(IndexerTest, RejectsUnusableConfiguration) {
  EXPECT_THROW(Indexer(nullptr), vorn_core::ValueError);
  EXPECT_THROW(Indexer(vorn_datastore::SqliteDataStore::open(dir_.path() / "store.db", nullptr)), vorn_core::ValueError);
  EXPECT_THROW(Indexer(open(), {.batch_size = 0}), vorn_core::ValueError);
  EXPECT_THROW(Indexer(open(), {.chunker = {.chunk_size = 10, .chunk_overlap = 10}}), vorn_core::ValueError);
}

// What a store holds as searches see it: chunk ids per file, full-text and
// vector hits with their scores, page scores and whether each file's
// indexing time was recorded.
struct StoreView {
  std::map<std::string, std::vector<std::string>> ids;
  std::vector<std::pair<std::string, double>> hits;
  std::vector<double> pages;
  std::size_t stamped = 0;
  bool operator==(const StoreView&) const = default;
};

StoreView view_of(const std::shared_ptr<vorn_datastore::SqliteDataStore>& store) {
  StoreView v;
  for (auto& [path, ids] : store->ids_by_metadata("path")) {
    std::sort(ids.begin(), ids.end());
    v.ids.emplace(path, std::move(ids));
  }
  vorn_retrieval::RetrieveOptions options;
  options.top_k = 50;
  for (const char* query : {"installation paragraph detail", "topic seven notes"}) {
    vorn_retrieval::FulltextRetriever text(store);
    vorn_retrieval::VectorRetriever vector(store);
    for (vorn_retrieval::BaseRetriever* r : {static_cast<vorn_retrieval::BaseRetriever*>(&text),
                                             static_cast<vorn_retrieval::BaseRetriever*>(&vector)}) {
      for (const auto& c : vorn_core::to_chunk_list(run_sync(r->retrieve(query, options)))) {
        v.hits.emplace_back(c->id, c->score.value_or(-1.0));
      }
    }
  }
  std::vector<std::string> names;
  for (const auto& source : vorn_retrieval::list_sources(*store)) {
    names.push_back(source.name);
    v.stamped += source.indexed_at.empty() ? 0 : 1;
  }
  v.pages = run_sync(store->page_search()->score_pages("topic notes installation", names));
  return v;
}

// Small files are stored several to a write. How they are grouped must not
// change anything a search sees, and a file that cannot be stored fails alone.
class IndexerGroupingTest : public IndexerTest, public ::testing::WithParamInterface<std::size_t> {
 protected:
  IndexerGroupingTest() {
    for (int i = 0; i < 9; ++i) {
      dir_.write("corpus/small/note" + std::to_string(i) + ".md",
                 "# Note " + std::to_string(i) + "\n\nTopic " + std::to_string(i) + " notes, short.\n");
    }
  }
  StoreView index_with(std::size_t batch_size, const std::string& name, IndexSummary& summary) {
    auto options = small_chunks();
    options.batch_size = batch_size;
    auto store = vorn_datastore::SqliteDataStore::open(dir_.path() / name, embedder_);
    summary = run_sync(Indexer(store, options).index({dir_.path() / "corpus"}));
    return view_of(store);
  }
};

TEST_P(IndexerGroupingTest, GroupingChangesNothingStored) {
  IndexSummary alone;
  IndexSummary grouped;
  const StoreView reference = index_with(1, "alone.db", alone);
  const StoreView view = index_with(GetParam(), "grouped.db", grouped);
  EXPECT_EQ(grouped.files_indexed, 11U);
  EXPECT_EQ(grouped.chunks_added, alone.chunks_added);
  EXPECT_EQ(view.stamped, 11U);
  EXPECT_FALSE(view.hits.empty());
  EXPECT_TRUE(view == reference);
}

TEST_P(IndexerGroupingTest, FileTheStoreRefusesFailsAlone) {
  dir_.write("corpus/small/note4.md", "# Note 4\n\nThis one cannot be embedded.\n");
  auto refusing = std::make_shared<RefusingEmbedder>("cannot be embedded", 64);
  auto store = vorn_datastore::SqliteDataStore::open(dir_.path() / "store.db", refusing);
  auto options = small_chunks();
  options.batch_size = GetParam();
  const IndexSummary summary = run_sync(Indexer(store, options).index({dir_.path() / "corpus"}));
  ASSERT_EQ(summary.errors.size(), 1U);
  EXPECT_EQ(summary.errors[0].source, "corpus/small/note4.md");
  EXPECT_EQ(summary.files_indexed, 10U);
  const auto sources = vorn_retrieval::list_sources(*store);
  EXPECT_EQ(sources.size(), 10U);
  for (const auto& s : sources) EXPECT_FALSE(s.indexed_at.empty()) << s.name;
}

INSTANTIATE_TEST_SUITE_P(BatchSizes, IndexerGroupingTest, ::testing::Values(2U, 3U, 64U, 1000U));

}  // namespace
