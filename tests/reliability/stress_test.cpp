// Concurrency stress, meant for the thread sanitizer as much as for the
// plain build: thousands of interleaved runs of several strategies and
// blocks on one loop, blocking runs on several threads while another thread
// keeps rewiring the strategy's slots or the block's configuration, and one
// SQLite store searched while it is being filled. Every answer must belong
// to its own question, and nothing ingested may go missing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "reliability_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"
#include "vorn_rag/blocks/retrieval/query_expansion.hpp"
#include "vorn_rag/strategies/map_reduce_rag.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"
#include "vorn_retrieval/vector_retriever.hpp"

namespace reliability {
namespace {

namespace fs = std::filesystem;
namespace strategies = vorn_rag::strategies;
namespace retrieval = vorn_rag::blocks::retrieval;
using vorn_rag::core::StrategyPtr;

std::string question(int n) { return "q" + std::to_string(n); }

// "answer(qN): <retriever>:qN...": the answer text and its first chunk both
// name the question (a transformer adds " a"/" b" to it).
bool answers(const Value& response, int n) {
  if (!response.is_string()) return false;
  const std::string& text = response.as_string();
  const std::string q = question(n);
  return text.starts_with("answer(" + q + "): ") &&
         (text.find(":" + q + " ") != std::string::npos || text.find(":" + q + ":") != std::string::npos);
}

Task<Value> response_of(StrategyPtr strategy, int n) {
  Dict state = co_await strategy->arun(question(n), 3);
  co_return state.get("response");
}

Task<Value> agentic_pick(vorn_pipeline::PipelinePtr pipeline, int n) {
  Dict initial;
  initial.set("query", Value(question(n)));
  Dict state = co_await pipeline->invoke(Value(std::move(initial)));
  co_return state.get("selected_chunks");
}

bool picked_for(const Value& selected, int n) {
  const auto chunks = vorn_core::to_chunk_list(selected);
  if (chunks.empty()) return false;
  for (const auto& c : chunks)
    if (!c->id.starts_with("retriever:" + question(n) + ":")) return false;
  return true;
}

struct Rig {
  FaultSwitchPtr faults = std::make_shared<FaultSwitch>();
  std::shared_ptr<strategies::NaiveRAG> naive = std::make_shared<strategies::NaiveRAG>(
      std::make_shared<FaultyRetriever>(faults, "retriever"), std::make_shared<FaultySynthesizer>(faults, "synthesizer"));
  std::shared_ptr<strategies::MapReduceRAG> map_reduce = std::make_shared<strategies::MapReduceRAG>(
      std::make_shared<FaultyTransformer>(faults, "transformer"), std::make_shared<FaultyRetriever>(faults, "retriever"),
      std::make_shared<FaultySynthesizer>(faults, "synthesizer"));
  retrieval::QueryExpansionPipelinePtr expansion = std::make_shared<retrieval::QueryExpansionPipeline>(
      std::make_shared<FaultyTransformer>(faults, "transformer"));
  vorn_retrieval::RerankerPtr reranker = std::make_shared<FaultyReranker>(faults, "reranker");
  vorn_retrieval::RelevanceFilterPtr filter = std::make_shared<FaultyFilter>(faults, "filter", 2);
  std::shared_ptr<FaultyStage> evaluator = std::make_shared<FaultyStage>(faults, "evaluator", FaultyStage::Role::kEvaluator);
  retrieval::AgenticRetrievalPipeline agentic{std::make_shared<FaultyRetriever>(faults, "retriever"),
                                              Value(std::make_shared<FaultyStage>(faults, "selector",
                                                                                  FaultyStage::Role::kSelector)),
                                              Value(evaluator), 3, 2};
};

Task<std::vector<Value>> run_mixed(Rig* rig, vorn_pipeline::PipelinePtr agentic, int runs) {
  std::vector<Task<Value>> tasks;
  tasks.reserve(runs);
  for (int i = 0; i < runs; ++i) {
    switch (i % 3) {
      case 0: tasks.push_back(response_of(rig->naive, i)); break;
      case 1: tasks.push_back(response_of(rig->map_reduce, i)); break;
      default: tasks.push_back(agentic_pick(agentic, i)); break;
    }
  }
  co_return co_await vorn_core::when_all(std::move(tasks));
}

TEST(ReliabilityStress, ThousandsOfInterleavedRunsOfSeveralStrategiesOnOneLoop) {
  constexpr int kRuns = 3000;
  Rig rig;
  rig.naive->with_query_expansion(rig.expansion).with_relevance_filter(rig.filter).with_reranker(rig.reranker);
  rig.map_reduce->with_reranker(rig.reranker);
  // Never sufficient: agentic runs go through every round.
  rig.evaluator->sufficient = false;
  const std::vector<Value> results = vorn_core::run_sync(run_mixed(&rig, rig.agentic.build(), kRuns));
  ASSERT_EQ(results.size(), static_cast<std::size_t>(kRuns));
  int wrong = 0;
  for (int i = 0; i < kRuns; ++i) {
    const bool ok = i % 3 == 2 ? picked_for(results[i], i) : answers(results[i], i);
    if (!ok && ++wrong < 5) ADD_FAILURE() << "run " << i << " answered " << results[i].str();
  }
  EXPECT_EQ(wrong, 0);
  std::printf("[ stress   ] %d interleaved runs on one loop, %d misattributed\n", kRuns, wrong);
}

// Runs `runner(thread, iteration)` on several threads while `rewire` loops
// on another one until they are done; answers how often it rewired.
int race(int threads, int iterations, const std::function<void(int, int)>& runner,
         const std::function<void(int)>& rewire) {
  std::atomic<bool> done{false};
  std::atomic<int> rewired{0};
  std::thread changer([&] {
    for (int n = 0; !done.load(); ++n) {
      rewire(n);
      ++rewired;
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> runners;
  for (int t = 0; t < threads; ++t) {
    runners.emplace_back([&, t] {
      for (int i = 0; i < iterations; ++i) runner(t, i);
    });
  }
  for (auto& r : runners) r.join();
  done = true;
  changer.join();
  return rewired.load();
}

TEST(ReliabilityStress, ThreadsShareStrategiesWhileEverySlotIsRewired) {
  Rig rig;
  std::atomic<int> wrong{0};
  std::atomic<int> runs{0};
  const int rewired = race(
      4, 60,
      [&](int t, int i) {
        const int n = t * 1000 + i;
        const StrategyPtr strategy = i % 2 ? StrategyPtr(rig.map_reduce) : StrategyPtr(rig.naive);
        Dict out = strategy->run(question(n), 3);
        ++runs;
        if (!answers(out.get("response"), n)) ++wrong;
      },
      [&](int n) {
        // Each builder call drops the cached pipeline; runs in flight keep theirs.
        rig.naive->with_query_expansion(n % 2 ? rig.expansion : nullptr);
        rig.naive->with_relevance_filter(n % 3 ? rig.filter : nullptr);
        rig.naive->with_reranker(n % 5 ? rig.reranker : nullptr);
        rig.map_reduce->with_reranker(n % 2 ? nullptr : rig.reranker);
      });
  EXPECT_EQ(wrong.load(), 0);
  std::printf("[ stress   ] %d threaded runs while slots were rewired %d times, %d misattributed\n", runs.load(),
              rewired, wrong.load());
}

TEST(ReliabilityStress, ThreadsRunOneAgenticPipelineWhileItsBlockIsReconfigured) {
  Rig rig;
  const vorn_pipeline::PipelinePtr pipeline = rig.agentic.build();
  std::atomic<int> wrong{0};
  race(
      4, 40,
      [&](int t, int i) {
        const int n = t * 1000 + i;
        if (!picked_for(vorn_core::run_sync(agentic_pick(pipeline, n)), n)) ++wrong;
      },
      [&](int n) {
        rig.agentic.set_max_rounds(1 + n % 4);
        rig.agentic.set_top_k(1 + n % 3);
        rig.agentic.set_max_top_k(n % 2 ? std::optional<std::int64_t>(8) : std::nullopt);
        rig.evaluator->sufficient = n % 2 == 0;
      });
  EXPECT_EQ(wrong.load(), 0);
}

// ---- one store, searched while it is filled --------------------------------------------

class StoreStress : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vorn_reliability_store_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(StoreStress, SearchesRunWhileSeveralThreadsIngest) {
  constexpr int kWriters = 3;
  constexpr int kBatches = 12;
  constexpr int kPerBatch = 8;
  auto store = vorn_datastore::SqliteDataStore::open(dir_ / "store.db",
                                                     std::make_shared<vorn_inference::HashingEmbedder>(64));
  // A few chunks to find from the start.
  ChunkList seed;
  for (int i = 0; i < 10; ++i) seed.push_back(vorn_core::make_chunk("seed-" + std::to_string(i), "alpha beta seed text"));
  vorn_core::run_sync(store->ingest(seed));

  auto vector = std::make_shared<vorn_retrieval::VectorRetriever>(store);
  auto fulltext = std::make_shared<vorn_retrieval::FulltextRetriever>(store);
  auto hybrid = std::make_shared<vorn_retrieval::HybridRetriever>(store);
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::atomic<int> torn{0};
  std::atomic<int> searches{0};

  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int b = 0; b < kBatches; ++b) {
        ChunkList batch;
        for (int i = 0; i < kPerBatch; ++i) {
          const std::string id = "w" + std::to_string(w) + "-" + std::to_string(b) + "-" + std::to_string(i);
          batch.push_back(vorn_core::make_chunk(id, "alpha gamma content of " + id));
        }
        try {
          vorn_core::run_sync(store->ingest(batch));
        } catch (const std::exception& e) {
          ++failures;
          std::fprintf(stderr, "ingest failed: %s\n", e.what());
        }
      }
    });
  }
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      while (writing.load()) {
        vorn_retrieval::RetrieveOptions options;
        options.top_k = 20;
        // The hybrid retriever ranks rows first and reads only the chunks it returns.
        const std::shared_ptr<vorn_retrieval::BaseRetriever> retrievers[] = {fulltext, vector, hybrid};
        const auto& retriever = retrievers[r % 3];
        try {
          Value hits = vorn_core::run_sync(retriever->retrieve(Value("alpha gamma content"), options));
          for (const auto& c : vorn_core::to_chunk_list(hits)) {
            // A hit is a whole chunk: its text is the one stored under its id.
            const bool seeded = c->id.starts_with("seed-") && c->content == "alpha beta seed text";
            if (!seeded && c->content != "alpha gamma content of " + c->id) ++torn;
          }
          ++searches;
        } catch (const std::exception& e) {
          ++failures;
          std::fprintf(stderr, "search failed: %s\n", e.what());
        }
      }
    });
  }
  for (auto& w : writers) w.join();
  writing = false;
  for (auto& r : readers) r.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  const std::size_t expected = 10 + kWriters * kBatches * kPerBatch;
  EXPECT_EQ(store->size(), expected);
  for (int w = 0; w < kWriters; ++w)
    for (int b = 0; b < kBatches; ++b)
      for (int i = 0; i < kPerBatch; ++i)
        EXPECT_TRUE(store->contains("w" + std::to_string(w) + "-" + std::to_string(b) + "-" + std::to_string(i)));
  std::printf("[ stress   ] %d searches while %zu chunks were ingested by %d threads, %zu stored\n", searches.load(),
              expected - 10, kWriters, store->size());
}

}  // namespace
}  // namespace reliability
