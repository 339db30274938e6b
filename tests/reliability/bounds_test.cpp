// Resource bounds: inputs far outside the usual sizes must end in an answer
// or a clear error, in bounded time and memory: a question of megabytes,
// `top_k` near INT64_MAX, millions of agentic rounds, a retrieval of a
// million chunks, and nesting deep enough to overflow a recursive reader.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "reliability_doubles.hpp"
#include "vorn_core/json.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_datastore/in_memory_data_store.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_generation/extractive_answerer.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"
#include "vorn_rag/blocks/retrieval/utils.hpp"
#include "vorn_rag/strategies/crag.hpp"
#include "vorn_rag/strategies/map_reduce_rag.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"
#include "vorn_retrieval/lexical_reranker.hpp"
#include "vorn_retrieval/vector_retriever.hpp"
#ifdef VORN_HAVE_CLI
#include "cli.hpp"
#endif

namespace reliability {
namespace {

namespace fs = std::filesystem;
namespace strategies = vorn_rag::strategies;
namespace retrieval = vorn_rag::blocks::retrieval;
using Clock = std::chrono::steady_clock;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A question of `bytes` bytes: many distinct words, some of them in the
// documents.
std::string huge_question(std::size_t bytes) {
  std::string q = "How does reciprocal rank fusion score a chunk ";
  for (std::size_t i = 0; q.size() < bytes; ++i) q += "word" + std::to_string(i % 50'000) + " fusion rank ";
  q.resize(bytes);
  return q;
}

class StoreBounds : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vorn_reliability_bounds_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    store_ = vorn_datastore::SqliteDataStore::open(dir_ / "index.db", std::make_shared<vorn_inference::HashingEmbedder>(64));
    ChunkList chunks;
    const char* texts[] = {"Reciprocal rank fusion adds 1 / (60 + rank) over the lists that hold a chunk.",
                           "CRAG asks a relevance evaluator to judge the retrieved chunks.",
                           "The store keeps chunks in SQLite and ranks them with BM25.",
                           "Agentic retrieval retries with more candidates until the evidence suffices."};
    int i = 0;
    for (const char* t : texts) chunks.push_back(vorn_core::make_chunk("doc#" + std::to_string(i++), t));
    vorn_core::run_sync(store_->ingest(chunks));
  }
  void TearDown() override {
    store_.reset();
    fs::remove_all(dir_);
  }

  std::vector<vorn_retrieval::RetrieverPtr> retrievers() const {
    return {std::make_shared<vorn_retrieval::VectorRetriever>(store_),
            std::make_shared<vorn_retrieval::FulltextRetriever>(store_),
            std::make_shared<vorn_retrieval::HybridRetriever>(store_)};
  }

  fs::path dir_;
  std::shared_ptr<vorn_datastore::SqliteDataStore> store_;
};

TEST_F(StoreBounds, MegabyteQuestionThroughAStrategy) {
  const std::string question = huge_question(2 * 1024 * 1024);
  auto naive = std::make_shared<strategies::NaiveRAG>(std::make_shared<vorn_retrieval::HybridRetriever>(store_),
                                                      std::make_shared<vorn_generation::ExtractiveAnswerer>());
  naive->with_reranker(std::make_shared<vorn_retrieval::LexicalReranker>());
  const auto start = Clock::now();
  vorn_core::Dict state = naive->run(question, 3);
  const double took = seconds_since(start);
  EXPECT_TRUE(state.get("response").is_string());
  EXPECT_FALSE(vorn_core::to_chunk_list(state.get("chunks")).empty());
  EXPECT_LT(took, 60.0);
  std::printf("[ bounds   ] a %zu-byte question answered in %.2f s\n", question.size(), took);
}

#ifdef VORN_HAVE_CLI
TEST_F(StoreBounds, MegabyteQuestionThroughTheCommandLine) {
  store_.reset();
  const std::string question = huge_question(1024 * 1024);
  const std::string store_path = (dir_ / "index.db").string();
  for (const char* format : {"--json", "--trace"}) {
    SCOPED_TRACE(format);
    const char* argv[] = {"vorn-rag", "--store", store_path.c_str(), "--dimension", "64", "ask", question.c_str(),
                          "--strategy", "crag", format};
    std::ostringstream out, err;
    const auto start = Clock::now();
    const int code = vorn_cli::run(static_cast<int>(std::size(argv)), argv, out, err);
    EXPECT_EQ(code, 0) << err.str().substr(0, 500);
    EXPECT_LT(seconds_since(start), 60.0);
  }
}

// An embedding dimension or a top_k far too large is refused or bounded
// before anything is allocated for it: `--dimension 4000000000` used to
// allocate 16 GB for the first chunk's vector.
TEST_F(StoreBounds, HugeNumbersOnTheCommandLineAreRefusedOrBounded) {
  store_.reset();
  const std::string store_path = (dir_ / "index.db").string();
  const std::string new_store = (dir_ / "new.db").string();
  const std::string docs = (dir_ / "docs").string();
  fs::create_directories(docs);
  std::ofstream(dir_ / "docs" / "a.txt") << "Reciprocal rank fusion.\n";
  struct Case {
    std::vector<std::string> args;
    int code;
  };
  const std::vector<Case> cases = {
      {{"--store", new_store, "--dimension", "4000000000", "index", "--no-progress", docs}, 2},
      {{"--store", new_store, "--dimension", "18446744073709551615", "index", "--no-progress", docs}, 2},
      {{"--store", new_store, "--dimension", "0", "index", "--no-progress", docs}, 2},
      // Stated ranges: a chunk of 1 to 100000 characters, 1 to 100 chunks.
      {{"--store", new_store, "index", "--no-progress", "--chunk-size", "18446744073709551615", docs}, 2},
      {{"--store", store_path, "--dimension", "64", "ask", "rank fusion", "--top-k", "9223372036854775807"}, 2},
      {{"--store", store_path, "--dimension", "64", "ask", "rank fusion", "--top-k", "-5"}, 2},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"vorn-rag"};
    std::string shown;
    for (const auto& a : c.args) {
      argv.push_back(a.c_str());
      shown += a + " ";
    }
    SCOPED_TRACE(shown);
    std::ostringstream out, err;
    EXPECT_EQ(vorn_cli::run(static_cast<int>(argv.size()), argv.data(), out, err), c.code) << err.str();
  }
}

// A question that is not valid UTF-8 used to lose the whole answer in
// --json mode ("[json.exception.type_error.316] invalid UTF-8 byte").
TEST_F(StoreBounds, JsonOutputSurvivesAQuestionThatIsNotUtf8) {
  store_.reset();
  const std::string store_path = (dir_ / "index.db").string();
  const char* argv[] = {"vorn-rag", "--store", store_path.c_str(), "ask", "rank fusion \xff\xfe caf\xe9", "--json"};
  std::ostringstream out, err;
  ASSERT_EQ(vorn_cli::run(static_cast<int>(std::size(argv)), argv, out, err), 0) << err.str();
  const auto printed = nlohmann::json::parse(out.str());
  EXPECT_EQ(printed["user_query"], "rank fusion \xef\xbf\xbd\xef\xbf\xbd caf\xef\xbf\xbd");
  EXPECT_TRUE(printed["response"].is_string());
}
#endif

TEST_F(StoreBounds, TopKNearInt64MaxNeverAllocatesTopKEntries) {
  for (std::int64_t top_k : {kMax, kMax - 1, std::int64_t{1} << 40}) {
    for (const auto& retriever : retrievers()) {
      SCOPED_TRACE(retriever->type_name() + " top_k " + std::to_string(top_k));
      vorn_retrieval::RetrieveOptions options;
      options.top_k = top_k;
      const auto hits = vorn_core::to_chunk_list(vorn_core::run_sync(retriever->retrieve(Value("rank fusion"), options)));
      EXPECT_LE(hits.size(), store_->size());
      EXPECT_FALSE(hits.empty());
    }
  }
  // The in-memory store takes the same requests.
  auto memory = std::make_shared<vorn_datastore::InMemoryDataStore>(std::make_shared<vorn_inference::HashingEmbedder>(16));
  vorn_core::run_sync(memory->add({vorn_core::make_chunk("m1", "rank fusion"), vorn_core::make_chunk("m2", "other")}));
  for (vorn_retrieval::RetrieverPtr r : {vorn_retrieval::RetrieverPtr(std::make_shared<vorn_retrieval::VectorRetriever>(memory)),
                                         vorn_retrieval::RetrieverPtr(std::make_shared<vorn_retrieval::FulltextRetriever>(memory))}) {
    vorn_retrieval::RetrieveOptions options;
    options.top_k = kMax;
    EXPECT_LE(vorn_core::to_chunk_list(vorn_core::run_sync(r->retrieve(Value("rank fusion"), options))).size(), 2U);
  }
}

TEST_F(StoreBounds, NegativeTopKIsAClearErrorOrNothing) {
  for (std::int64_t top_k : {std::int64_t{-1}, std::numeric_limits<std::int64_t>::min()}) {
    for (const auto& retriever : retrievers()) {
      SCOPED_TRACE(retriever->type_name() + " top_k " + std::to_string(top_k));
      vorn_retrieval::RetrieveOptions options;
      options.top_k = top_k;
      try {
        const Value hits = vorn_core::run_sync(retriever->retrieve(Value("rank fusion"), options));
        EXPECT_TRUE(vorn_core::to_chunk_list(hits).empty());
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("top_k"), std::string::npos) << e.what();
      }
    }
  }
}

// Found by fuzzing: a NUL byte in a metadata key made SQLite reject the JSON
// path, reported as an I/O failure ("check free disk space").
TEST_F(StoreBounds, MetadataKeysAJsonPathCannotHoldAreInputErrors) {
  const auto& chunks = store_->chunk_store();
  for (const std::string& key : {std::string("a\"b"), std::string("a\0b", 3), std::string(1, '\0')}) {
    SCOPED_TRACE(vorn_core::quote(key));
    const vorn_datastore::Filter filter = {{key, "x"}};
    for (int search = 0; search < 3; ++search) {
      try {
        if (search == 0) (void)chunks.search_bm25("rank fusion", 3, filter);
        if (search == 1) (void)chunks.search_vector(std::vector<float>(64, 0.5F), 3, filter);
        if (search == 2) (void)chunks.ids_by_metadata(key);
        ADD_FAILURE() << "search " << search << " took the key";
      } catch (const vorn_datastore::StoreError& e) {
        EXPECT_EQ(e.code(), vorn_datastore::store_errc::kInput) << e.what();
      }
    }
  }
}

TEST_F(StoreBounds, StrategiesTakeTopKNearInt64Max) {
  auto retriever = std::make_shared<vorn_retrieval::HybridRetriever>(store_);
  auto answerer = std::make_shared<vorn_generation::ExtractiveAnswerer>();
  auto f = std::make_shared<FaultSwitch>();
  std::vector<vorn_rag::core::StrategyPtr> all = {
      std::make_shared<strategies::NaiveRAG>(retriever, answerer),
      std::make_shared<strategies::CRAG>(retriever, answerer),
      std::make_shared<strategies::MapReduceRAG>(std::make_shared<FaultyTransformer>(f, "t"), retriever, answerer)};
  for (const auto& s : all) {
    SCOPED_TRACE(s->type_name());
    vorn_core::Dict state = s->run("How does rank fusion score a chunk?", kMax);
    EXPECT_LE(vorn_core::to_chunk_list(state.get("chunks")).size(), store_->size());
    EXPECT_TRUE(state.get("response").is_string());
  }
}

// ---- agentic rounds -------------------------------------------------------------------------

// Records the top_k of every retrieval; judges the evidence sufficient from
// call `sufficient_from` on.
class CountingRetriever : public vorn_retrieval::BaseRetriever {
 public:
  std::vector<std::int64_t> top_ks;

 protected:
  Task<ChunkList> retrieve_chunks(std::string query, vorn_retrieval::RetrieveOptions options) override {
    top_ks.push_back(options.top_k.value_or(-1));
    co_return chunks_for("r", query, 2);
  }
};

Value evaluator_sufficient_from(std::int64_t call, std::shared_ptr<std::int64_t> calls) {
  return Value(vorn_core::make_function("evaluator", [call, calls](vorn_core::Dict) -> Value {
    Dict out;
    out.set("is_sufficient", Value(++*calls >= call));
    return Value(std::move(out));
  }));
}

Value first_candidates() {
  return Value(vorn_core::make_function("selector", [](vorn_core::Dict inputs) -> Value {
    Dict out;
    out.set("selected_chunks", inputs.get("chunks"));
    return Value(std::move(out));
  }));
}

Dict run_agentic(const retrieval::AgenticRetrievalPipeline& block) {
  Dict initial;
  initial.set("query", Value("question"));
  return vorn_core::run_sync(block.build()->invoke(Value(std::move(initial))));
}

TEST(AgenticBounds, MillionsOfRoundsEndWhenTheEvidenceSufficesAndTopKSaturates) {
  auto retriever = std::make_shared<CountingRetriever>();
  auto calls = std::make_shared<std::int64_t>(0);
  retrieval::AgenticRetrievalPipeline block(retriever, first_candidates(), evaluator_sufficient_from(4, calls),
                                            /*max_rounds=*/5'000'000, /*top_k=*/kMax / 2);
  const auto start = Clock::now();
  const Dict state = run_agentic(block);
  EXPECT_LT(seconds_since(start), 5.0);
  ASSERT_EQ(retriever->top_ks.size(), 4U);
  // Linear growth by the initial count, saturating instead of wrapping.
  EXPECT_EQ(retriever->top_ks[0], kMax / 2);
  EXPECT_EQ(retriever->top_ks[1], kMax - 1);
  EXPECT_EQ(retriever->top_ks[2], kMax);
  EXPECT_EQ(retriever->top_ks[3], kMax);
  EXPECT_EQ(state.get("round_idx").as_int(), 3);
}

TEST(AgenticBounds, TheCapBoundsTopKGrowth) {
  auto retriever = std::make_shared<CountingRetriever>();
  auto calls = std::make_shared<std::int64_t>(0);
  retrieval::AgenticRetrievalPipeline block(retriever, first_candidates(), evaluator_sufficient_from(5, calls),
                                            /*max_rounds=*/2'000'000, /*top_k=*/400, /*max_top_k=*/1000);
  (void)run_agentic(block);
  EXPECT_EQ(retriever->top_ks, (std::vector<std::int64_t>{400, 800, 1000, 1000, 1000}));
}

TEST(AgenticBounds, ThousandsOfInsufficientRoundsRunInConstantStack) {
  // Every round is a loop iteration, not a nested call: a long run neither
  // overflows the stack nor slows down round by round.
  constexpr std::int64_t kRounds = 3000;
  auto retriever = std::make_shared<CountingRetriever>();
  auto calls = std::make_shared<std::int64_t>(0);
  retrieval::AgenticRetrievalPipeline block(retriever, first_candidates(), evaluator_sufficient_from(kMax, calls),
                                            kRounds, /*top_k=*/1);
  const auto start = Clock::now();
  const Dict state = run_agentic(block);
  EXPECT_EQ(static_cast<std::int64_t>(retriever->top_ks.size()), kRounds);
  EXPECT_EQ(retriever->top_ks.back(), kRounds);
  EXPECT_EQ(state.get("selected_chunks").as_list().size(), 2U) << "best effort keeps the last selection";
  std::printf("[ bounds   ] %lld agentic rounds in %.2f s\n", static_cast<long long>(kRounds), seconds_since(start));
}

// ---- a million chunks ------------------------------------------------------------------------

// Answers the same `count` chunks for every query, so fusion really merges.
class FloodRetriever : public vorn_retrieval::BaseRetriever {
 public:
  explicit FloodRetriever(std::size_t count) {
    chunks_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) chunks_.push_back(vorn_core::make_chunk("c" + std::to_string(i)));
  }

 protected:
  Task<ChunkList> retrieve_chunks(std::string, vorn_retrieval::RetrieveOptions) override { co_return chunks_; }

 private:
  ChunkList chunks_;
};

TEST(ChunkFlood, AMillionChunksThroughFusionAndAStrategy) {
  // Two expanded queries, a million chunks each, fused by rrf inside the
  // strategy: every chunk ties with itself, so the fused list keeps the
  // retrieval order.
  constexpr std::size_t kChunks = 1'000'000;
  auto f = std::make_shared<FaultSwitch>();
  auto rag = std::make_shared<strategies::MapReduceRAG>(std::make_shared<FaultyTransformer>(f, "t"),
                                                        std::make_shared<FloodRetriever>(kChunks),
                                                        std::make_shared<FaultySynthesizer>(f, "s"));
  const auto start = Clock::now();
  const Dict state = rag->run("flood", 5);
  EXPECT_EQ(state.get("response"), Value("answer(flood): c0|" + std::to_string(kChunks)));
  std::printf("[ bounds   ] MapReduceRAG fused 2 x %zu retrieved chunks and answered in %.2f s\n", kChunks,
              seconds_since(start));
}

// ---- deep nesting -------------------------------------------------------------------------------

TEST(DeepNesting, JsonConversionRefusesNestingBeyondItsLimit) {
  for (int depth : {1'002, 100'000}) {
    SCOPED_TRACE(depth);
    const nlohmann::json parsed = nlohmann::json::parse(std::string(depth, '[') + std::string(depth, ']'));
    EXPECT_THROW((void)vorn_core::from_json(parsed), vorn_core::ValueError);
  }
  // Ordinary nesting converts.
  const nlohmann::json shallow = nlohmann::json::parse(std::string(200, '[') + "1" + std::string(200, ']'));
  Value v = vorn_core::from_json(shallow);
  for (int i = 0; i < 200; ++i) v = Value(v.as_list().front());
  EXPECT_EQ(v, Value(1));
}

TEST(DeepNesting, TextFormsOfDeepValuesAreBounded) {
  // Built from the inside out, as a program would build it.
  Value v(1);
  for (int i = 0; i < 100'000; ++i) {
    List wrap;
    wrap.push_back(std::move(v));
    v = Value(std::move(wrap));
  }
  EXPECT_THROW((void)v.str(), vorn_core::ValueError);
  EXPECT_THROW((void)v.repr(), vorn_core::ValueError);
  EXPECT_THROW((void)vorn_core::to_json(v), vorn_core::ValueError);
  // Taken apart from the outside in, so this test's own cleanup does not recurse.
  while (v.is_list() && !v.as_list().empty()) {
    Value inner = std::move(v.as_list().front());
    v = std::move(inner);
  }
}

}  // namespace
}  // namespace reliability
