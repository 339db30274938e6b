// Concurrent runs of one strategy: many interleaved `arun`s on one loop that
// share one cached pipeline, and blocking runs on several threads while
// another thread keeps reconfiguring the strategy. Every answer must belong
// to its own question. Meant to be run under the thread sanitizer too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "rag_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/strategies/crag.hpp"
#include "vorn_rag/strategies/routed_strategy.hpp"

namespace {

using namespace rag_test;
using vorn_rag::strategies::CRAG;
using vorn_rag::strategies::RoutedStrategy;
using Ids = std::vector<std::string>;

ChunkList chunks_for(const std::string& query, std::initializer_list<const char*> suffixes) {
  ChunkList out;
  for (const char* s : suffixes) out.push_back(vorn_core::make_chunk(query + "#" + s));
  return out;
}

// The question's number decides the judgement: 0 mod 3 keeps everything
// (relevant), 1 keeps nothing (irrelevant), 2 keeps the first chunk
// (ambiguous). Suspends once, so runs interleave inside the Decide step.
class ByNumberEvaluator : public vorn_retrieval::BaseRelevanceFilter {
 public:
  Task<ChunkList> filter(ChunkList chunks, std::string query) override {
    co_await vorn_core::yield_now();
    switch (std::stoi(query.substr(1)) % 3) {
      case 0: co_return chunks;
      case 1: co_return ChunkList{};
      default: co_return ChunkList{chunks.front()};
    }
  }
};

// Counts how often the pipeline is wired.
class CountingCRAG : public CRAG {
 public:
  using CRAG::CRAG;
  std::atomic<int> builds{0};

 protected:
  vorn_rag::core::PipelinePtr _build_pipeline() override {
    ++builds;
    return CRAG::_build_pipeline();
  }
};

struct CragRig {
  std::shared_ptr<RecordingRetriever> retriever = std::make_shared<RecordingRetriever>();
  std::shared_ptr<RecordingRetriever> web = std::make_shared<RecordingRetriever>();
  std::shared_ptr<ReversingReranker> reranker = std::make_shared<ReversingReranker>();
  std::shared_ptr<EchoSynthesizer> synthesizer = std::make_shared<EchoSynthesizer>();
  std::shared_ptr<CountingCRAG> crag;

  explicit CragRig(bool suspend) {
    retriever->answer_for = [](const std::string& q) { return chunks_for(q, {"1", "2", "3"}); };
    web->answer_for = [](const std::string& q) { return chunks_for(q, {"web"}); };
    retriever->behaviour.suspend = web->behaviour.suspend = reranker->behaviour.suspend =
        synthesizer->behaviour.suspend = suspend;
    crag = std::make_shared<CountingCRAG>(retriever, synthesizer);
    crag->with_relevance_evaluator(std::make_shared<ByNumberEvaluator>()).with_web_retriever(web);
  }

  // The chunk ids question `i` is answered from, before any reranking.
  static Ids expected_ids(int i) {
    const std::string q = "q" + std::to_string(i);
    switch (i % 3) {
      case 0: return {q + "#1", q + "#2", q + "#3"};
      case 1: return {q + "#web"};
      default: return {q + "#1"};
    }
  }
};

std::string answer_text(int i, const Ids& ids) {
  std::string joined;
  for (const auto& id : ids) joined += (joined.empty() ? "" : ",") + id;
  return "answer(q" + std::to_string(i) + "): " + joined;
}

Task<std::vector<Dict>> run_all(std::shared_ptr<CRAG> crag, int n) {
  std::vector<Task<Dict>> runs;
  runs.reserve(n);
  for (int i = 0; i < n; ++i) runs.push_back(crag->arun("q" + std::to_string(i)));
  co_return co_await vorn_core::when_all(std::move(runs));
}

TEST(StrategyConcurrency, ManyInterleavedRunsShareOnePipeline) {
  constexpr int kRuns = 2000;
  CragRig rig(/*suspend=*/true);
  rig.crag->with_reranker(rig.reranker);
  std::vector<Dict> results = vorn_core::run_sync(run_all(rig.crag, kRuns));
  ASSERT_EQ(results.size(), static_cast<std::size_t>(kRuns));
  EXPECT_EQ(rig.crag->builds.load(), 1) << "every run uses the one cached pipeline";
  for (int i = 0; i < kRuns; ++i) {
    Ids ids = CragRig::expected_ids(i);
    std::reverse(ids.begin(), ids.end());
    ASSERT_EQ(results[i].at("response"), Value(answer_text(i, ids))) << "run " << i;
    ASSERT_EQ(results[i].at("user_query"), Value("q" + std::to_string(i)));
  }
  EXPECT_EQ(rig.synthesizer->log.size(), static_cast<std::size_t>(kRuns));
}

// ---- threads ------------------------------------------------------------------------------

// Runs `runner(thread, iteration)` on several threads while `reconfigure`
// loops on another one until they are done.
void race(int threads, int iterations, const std::function<void(int, int)>& runner,
          const std::function<void(int)>& reconfigure) {
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int n = 0; !done.load(); ++n) reconfigure(n);
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
}

TEST(StrategyConcurrency, ThreadsRunWhileAnotherTogglesTheReranker) {
  CragRig rig(/*suspend=*/false);
  std::atomic<int> wrong{0};
  race(
      4, 150,
      [&](int t, int i) {
        const int n = t * 1000 + i;
        Dict out = rig.crag->run("q" + std::to_string(n));
        // Reranked or not, depending on the moment: the ids are the question's.
        Ids ids = CragRig::expected_ids(n);
        Ids reversed(ids.rbegin(), ids.rend());
        const Value& response = out.at("response");
        if (response != Value(answer_text(n, ids)) && response != Value(answer_text(n, reversed))) ++wrong;
      },
      [&](int n) { rig.crag->with_reranker(n % 2 ? rig.reranker : nullptr); });
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GE(rig.crag->builds.load(), 1);
}

// ---- RoutedStrategy ---------------------------------------------------------------------

// A ready branch answering "<tag>:<query>".
vorn_pipeline::PipelinePtr answering(const std::string& tag) {
  auto step = vorn_pipeline::transform({
      .operation = [tag](Dict data) { return Value(tag + ":" + data.get("query").as_string()); },
      .input_map = {{"query", "user_query"}},
      .output_state = "response",
      .name = tag + "_answer",
  });
  return std::make_shared<vorn_pipeline::Pipeline>(std::vector<vorn_pipeline::StepPtr>{step},
                                                   vorn_rag::core::StrategyState::schema());
}

Task<bool> even_question(std::string query) {
  co_await vorn_core::yield_now();
  co_return std::stoi(query.substr(1)) % 2 == 0;
}

Task<std::vector<Dict>> route_all(std::shared_ptr<RoutedStrategy> routed, int n) {
  std::vector<Task<Dict>> runs;
  runs.reserve(n);
  for (int i = 0; i < n; ++i) runs.push_back(routed->arun("q" + std::to_string(i)));
  co_return co_await vorn_core::when_all(std::move(runs));
}

TEST(StrategyConcurrency, ManyInterleavedRoutedRuns) {
  constexpr int kRuns = 2000;
  CragRig rig(/*suspend=*/true);
  auto routed = std::make_shared<RoutedStrategy>();
  routed->add_branch("crag", RoutedStrategy::AsyncClassifier(even_question), Value(rig.crag))
      .add_branch("plain", [](const std::string&) { return true; }, Value(answering("plain")));
  std::vector<Dict> results = vorn_core::run_sync(route_all(routed, kRuns));
  for (int i = 0; i < kRuns; ++i) {
    const Value expected = i % 2 == 0 ? Value(answer_text(i, CragRig::expected_ids(i)))
                                      : Value("plain:q" + std::to_string(i));
    ASSERT_EQ(results[i].at("response"), expected) << "run " << i;
  }
  EXPECT_EQ(rig.crag->builds.load(), 1);
}

TEST(StrategyConcurrency, ThreadsRunWhileAnotherKeepsRegistering) {
  // Router mode: the registering thread swaps between two equivalent routers
  // and adds branches no query selects.
  auto route_by_parity = [](const std::string& q) { return Value(std::stoi(q.substr(1)) % 2 ? "odd" : "even"); };
  auto router_a = std::make_shared<FunctionRouter>(route_by_parity);
  auto router_b = std::make_shared<FunctionRouter>(route_by_parity);
  auto routed = std::make_shared<RoutedStrategy>();
  routed->set_router(router_a)
      .add_branch("odd", nullptr, Value(answering("odd")))
      .add_branch("even", nullptr, Value(answering("even")));

  // Classifier mode: the registering thread appends branches after a
  // catch-all, so they never change an answer.
  auto classified = std::make_shared<RoutedStrategy>();
  classified->add_branch("even", [](const std::string& q) { return std::stoi(q.substr(1)) % 2 == 0; },
                         Value(answering("even")))
      .add_branch("odd", [](const std::string&) { return true; }, Value(answering("odd")));

  std::atomic<int> wrong{0};
  race(
      4, 150,
      [&](int t, int i) {
        const int n = t * 1000 + i;
        const std::string q = "q" + std::to_string(n);
        const Value expected((n % 2 ? "odd:" : "even:") + q);
        auto& strategy = (i % 2) ? routed : classified;
        if (strategy->run(q).at("response") != expected) ++wrong;
      },
      [&](int n) {
        routed->set_router(n % 2 ? router_a : router_b);
        if (n < 200) {
          routed->add_branch("extra" + std::to_string(n), nullptr, Value(answering("extra")));
          classified->add_branch("extra" + std::to_string(n), [](const std::string&) { return true; },
                                 Value(answering("extra")));
        }
      });
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
