// Library overhead of each strategy with no-op components, against a
// hand-written coroutine chain that calls the same components in the same
// order with the same inputs and returns the answer and the chunks.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components.hpp"
#include "harness.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"
#include "vorn_rag/blocks/retrieval/query_expansion.hpp"
#include "vorn_rag/blocks/retrieval/utils.hpp"
#include "vorn_rag/strategies/crag.hpp"
#include "vorn_rag/strategies/map_reduce_rag.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"
#include "vorn_rag/strategies/routed_strategy.hpp"

namespace vorn_bench {
namespace {

using vorn_rag::blocks::retrieval::AgenticRetrievalPipeline;
using vorn_rag::blocks::retrieval::QueryExpansionPipeline;
using vorn_rag::strategies::CRAG;
using vorn_rag::strategies::MapReduceRAG;
using vorn_rag::strategies::NaiveRAG;
using vorn_rag::strategies::RoutedStrategy;
namespace fusion = vorn_rag::blocks::retrieval::utils;

constexpr std::size_t kRetrievedChunks = 3;

// The inputs a retrieval step gives a retriever.
Dict retrieve_inputs(const std::string& query, const Value& top_k) {
  Dict inputs;
  inputs.set("query", Value(query));
  inputs.set("query_filter", Value());
  inputs.set("top_k", top_k);
  inputs.set("threshold", Value());
  return inputs;
}

Dict chunks_and_query(const Value& chunks, const std::string& query) {
  Dict inputs;
  inputs.set("chunks", chunks);
  inputs.set("query", Value(query));
  return inputs;
}

Dict query_and_chunks(const std::string& query, const Value& chunks) {
  Dict inputs;
  inputs.set("query", Value(query));
  inputs.set("chunks", chunks);
  return inputs;
}

Dict answer(Value response, Value chunks) {
  Dict out;
  out.set("response", std::move(response));
  out.set("chunks", std::move(chunks));
  return out;
}

// Every component a strategy here may use.
struct Parts {
  std::shared_ptr<NoopRetriever> retriever = std::make_shared<NoopRetriever>(make_chunks("doc-", kRetrievedChunks));
  std::shared_ptr<NoopRetriever> web_retriever = std::make_shared<NoopRetriever>(make_chunks("web-", kRetrievedChunks));
  std::shared_ptr<FixedSynthesizer> synthesizer = std::make_shared<FixedSynthesizer>();
  std::shared_ptr<NoopReranker> reranker = std::make_shared<NoopReranker>();
  std::shared_ptr<PrefixFilter> filter = std::make_shared<PrefixFilter>(kRetrievedChunks);
  std::shared_ptr<FixedTransformer> transformer;
  std::shared_ptr<QueryExpansionPipeline> expansion;

  explicit Parts(std::size_t queries = 3) {
    List list;
    for (std::size_t i = 0; i < queries; ++i) list.push_back(Value("question variant " + std::to_string(i)));
    transformer = std::make_shared<FixedTransformer>(Value(std::move(list)));
    expansion = std::make_shared<QueryExpansionPipeline>(transformer);
  }
};

// ---- strategy loops ---------------------------------------------------------------

Task<void> strategy_loop(benchmark::State* state, vorn_rag::core::StrategyPtr strategy) {
  strategy->build();  // built once, outside the measurement, as in a long-lived service
  AllocMeter meter;
  for (auto _ : *state) {
    Dict result = co_await strategy->arun("question", 5);
    benchmark::DoNotOptimize(result);
  }
  meter.report(*state);
}

template <class Chain>
Task<void> chain_loop(benchmark::State* state, Chain chain) {
  AllocMeter meter;
  for (auto _ : *state) {
    Dict result = co_await chain("question", Value(5));
    benchmark::DoNotOptimize(result);
  }
  meter.report(*state);
}

// ---- NaiveRAG ---------------------------------------------------------------------

Task<Dict> naive_chain(const Parts* p, std::string query, Value top_k) {
  Value chunks = co_await p->retriever->run(retrieve_inputs(query, top_k));
  Value response = co_await p->synthesizer->run(query_and_chunks(query, chunks));
  co_return answer(std::move(response), std::move(chunks));
}

// Retrieve, relevance filter, reranker, synthesize.
Task<Dict> naive_four_steps_chain(const Parts* p, std::string query, Value top_k) {
  Value chunks = co_await p->retriever->run(retrieve_inputs(query, top_k));
  chunks = co_await p->filter->run(chunks_and_query(chunks, query));
  chunks = co_await p->reranker->run(chunks_and_query(chunks, query));
  Value response = co_await p->synthesizer->run(query_and_chunks(query, chunks));
  co_return answer(std::move(response), std::move(chunks));
}

// Query expansion (transform, batch retrieval, rrf), relevance filter,
// reranker, synthesizer.
Task<Dict> naive_all_slots_chain(const Parts* p, std::string query, Value top_k) {
  Dict expand;
  expand.set("query", Value(query));
  Value queries = co_await p->transformer->run(std::move(expand));
  Dict batch = retrieve_inputs(query, top_k);
  batch.set("query", std::move(queries));
  Value chunk_lists = co_await p->retriever->run(std::move(batch));
  Value chunks = vorn_core::to_value(fusion::rrf_fusion(vorn_core::to_chunk_lists(chunk_lists)));
  chunks = co_await p->filter->run(chunks_and_query(chunks, query));
  chunks = co_await p->reranker->run(chunks_and_query(chunks, query));
  Value response = co_await p->synthesizer->run(query_and_chunks(query, chunks));
  co_return answer(std::move(response), std::move(chunks));
}

// ---- CRAG -------------------------------------------------------------------------

// Retrieve, judge with the evaluator, then the chosen path: [web retrieve],
// rerank, synthesize.
Task<Dict> crag_chain(const Parts* p, PrefixFilter* evaluator, std::string query, Value top_k) {
  Value chunks = co_await p->retriever->run(retrieve_inputs(query, top_k));
  vorn_core::ChunkList retrieved = vorn_core::to_chunk_list(chunks);
  const std::size_t given = retrieved.size();
  vorn_core::ChunkList kept = co_await evaluator->filter(std::move(retrieved), query);
  Value source = chunks;
  if (kept.empty()) {
    source = co_await p->web_retriever->run(retrieve_inputs(query, top_k));
  } else if (kept.size() != given) {
    source = vorn_core::to_value(kept);
  }
  chunks = co_await p->reranker->run(chunks_and_query(source, query));
  Value response = co_await p->synthesizer->run(query_and_chunks(query, chunks));
  co_return answer(std::move(response), std::move(chunks));
}

// ---- MapReduceRAG -----------------------------------------------------------------

Task<Dict> map_reduce_chain(const Parts* p, std::string query, Value top_k) {
  Dict expand;
  expand.set("query", Value(query));
  Value queries = co_await p->transformer->run(std::move(expand));
  std::vector<Task<Value>> retrievals;
  for (const Value& q : queries.as_list()) {
    Dict inputs = retrieve_inputs(query, top_k);
    inputs.set("query", q);
    retrievals.push_back(p->retriever->run(std::move(inputs)));
  }
  List per_query = co_await vorn_core::when_all(std::move(retrievals));
  Value chunks = vorn_core::to_value(fusion::rrf_fusion(vorn_core::to_chunk_lists(Value(std::move(per_query)))));
  Value response = co_await p->synthesizer->run(query_and_chunks(query, chunks));
  co_return answer(std::move(response), std::move(chunks));
}

// ---- RoutedStrategy ---------------------------------------------------------------

struct Routes {
  std::vector<RoutedStrategy::Classifier> classifiers;
};

// The classifiers in order; the first that matches picks its NaiveRAG chain.
Task<Dict> routed_chain(const Parts* p, const Routes* routes, std::string query, Value top_k) {
  for (const auto& classifier : routes->classifiers) {
    if (classifier(query)) co_return co_await naive_chain(p, std::move(query), std::move(top_k));
  }
  co_return Dict();
}

// ---- agentic loop -------------------------------------------------------------------

constexpr std::int64_t kAgenticTopK = 10;
constexpr std::int64_t kAgenticRounds = 3;

struct AgenticParts {
  std::shared_ptr<NoopRetriever> retriever = std::make_shared<NoopRetriever>(make_chunks("doc-", kRetrievedChunks));
  std::shared_ptr<KeepAllSelector> selector = std::make_shared<KeepAllSelector>();
  std::shared_ptr<NeverSufficientEvaluator> evaluator = std::make_shared<NeverSufficientEvaluator>();
};

// Retrieve, select, evaluate; while insufficient, again with a larger top_k.
Task<Dict> agentic_chain(const AgenticParts* p, std::string query) {
  std::int64_t top_k = kAgenticTopK;
  Value selected;
  for (std::int64_t round = 0; round < kAgenticRounds; ++round) {
    vorn_retrieval::RetrieveOptions options;
    options.top_k = top_k;
    Value candidates = co_await p->retriever->retrieve(Value(query), std::move(options));
    Dict select;
    select.set("query", Value(query));
    select.set("chunks", std::move(candidates));
    select.set("selected_chunk_limit", Value(5));
    Value selection = co_await p->selector->run(std::move(select));
    selected = selection.as_dict().at("selected_chunks");
    Dict evaluate;
    evaluate.set("query", Value(query));
    evaluate.set("chunks", selected);
    Value evaluation = co_await p->evaluator->run(std::move(evaluate));
    if (evaluation.as_dict().at("is_sufficient").as_bool()) break;
    top_k += kAgenticTopK;
  }
  Dict out;
  out.set("selected_chunks", std::move(selected));
  co_return out;
}

Task<void> agentic_pipeline_loop(benchmark::State* state, vorn_pipeline::PipelinePtr pipeline) {
  AllocMeter meter;
  for (auto _ : *state) {
    Dict initial;
    initial.set("query", Value("question"));
    Dict result = co_await pipeline->invoke(Value(std::move(initial)));
    benchmark::DoNotOptimize(result);
  }
  meter.report(*state);
}

Task<void> agentic_chain_loop(benchmark::State* state, const AgenticParts* parts) {
  AllocMeter meter;
  for (auto _ : *state) {
    Dict result = co_await agentic_chain(parts, "question");
    benchmark::DoNotOptimize(result);
  }
  meter.report(*state);
}

// ---- registration ---------------------------------------------------------------------

enum class CragPath { kRelevant, kIrrelevant, kAmbiguous };

std::size_t kept_on(CragPath path) {
  switch (path) {
    case CragPath::kRelevant: return kRetrievedChunks;
    case CragPath::kIrrelevant: return 0;
    case CragPath::kAmbiguous: return 1;
  }
  return kRetrievedChunks;
}

void register_naive() {
  benchmark::RegisterBenchmark("naive_rag/framework", [](benchmark::State& state) {
    Parts parts;
    run_on_loop(strategy_loop(&state, std::make_shared<NaiveRAG>(parts.retriever, parts.synthesizer)));
  });
  benchmark::RegisterBenchmark("naive_rag/chain", [](benchmark::State& state) {
    Parts parts;
    run_on_loop(chain_loop(&state, [&parts](std::string q, Value k) { return naive_chain(&parts, std::move(q), std::move(k)); }));
  });
  benchmark::RegisterBenchmark("naive_rag_four_steps/framework", [](benchmark::State& state) {
    Parts parts;
    auto strategy = std::make_shared<NaiveRAG>(parts.retriever, parts.synthesizer);
    strategy->with_relevance_filter(parts.filter).with_reranker(parts.reranker);
    run_on_loop(strategy_loop(&state, strategy));
  });
  benchmark::RegisterBenchmark("naive_rag_four_steps/chain", [](benchmark::State& state) {
    Parts parts;
    run_on_loop(chain_loop(
        &state, [&parts](std::string q, Value k) { return naive_four_steps_chain(&parts, std::move(q), std::move(k)); }));
  });
  benchmark::RegisterBenchmark("naive_rag_all_slots/framework", [](benchmark::State& state) {
    Parts parts;
    auto strategy = std::make_shared<NaiveRAG>(parts.retriever, parts.synthesizer);
    strategy->with_query_expansion(parts.expansion).with_relevance_filter(parts.filter).with_reranker(parts.reranker);
    run_on_loop(strategy_loop(&state, strategy));
  });
  benchmark::RegisterBenchmark("naive_rag_all_slots/chain", [](benchmark::State& state) {
    Parts parts;
    run_on_loop(chain_loop(
        &state, [&parts](std::string q, Value k) { return naive_all_slots_chain(&parts, std::move(q), std::move(k)); }));
  });
  add_overhead_figure("NaiveRAG, two steps (retrieve, synthesize)", "naive_rag/framework", "naive_rag/chain", 5000.0);
  add_ratio_figure("NaiveRAG, two steps (retrieve, synthesize)", "naive_rag/framework", "naive_rag/chain", 3.0);
  add_per_step_figure("NaiveRAG, each added step (2 → 4 steps: + filter, + reranker)", "naive_rag/framework",
                      "naive_rag/chain", "naive_rag_four_steps/framework", "naive_rag_four_steps/chain", 2, 4, 1000.0);
  add_ratio_figure("NaiveRAG, four steps (+ relevance filter, + reranker)", "naive_rag_four_steps/framework",
                   "naive_rag_four_steps/chain", 3.0);
  add_ratio_figure("NaiveRAG, all three slots (query expansion too)", "naive_rag_all_slots/framework",
                   "naive_rag_all_slots/chain", 3.0);
}

void register_crag() {
  const std::pair<CragPath, const char*> paths[] = {
      {CragPath::kRelevant, "relevant"}, {CragPath::kIrrelevant, "irrelevant"}, {CragPath::kAmbiguous, "ambiguous"}};
  for (const auto& [path, label] : paths) {
    const std::string name = std::string("crag_") + label;
    const std::size_t keep = kept_on(path);
    benchmark::RegisterBenchmark((name + "/framework").c_str(), [keep](benchmark::State& state) {
      Parts parts;
      auto strategy = std::make_shared<CRAG>(parts.retriever, parts.synthesizer);
      strategy->with_relevance_evaluator(std::make_shared<PrefixFilter>(keep))
          .with_web_retriever(parts.web_retriever)
          .with_reranker(parts.reranker);
      run_on_loop(strategy_loop(&state, strategy));
    });
    benchmark::RegisterBenchmark((name + "/chain").c_str(), [keep](benchmark::State& state) {
      Parts parts;
      PrefixFilter evaluator(keep);
      run_on_loop(chain_loop(&state, [&parts, &evaluator](std::string q, Value k) {
        return crag_chain(&parts, &evaluator, std::move(q), std::move(k));
      }));
    });
    add_ratio_figure(std::string("CRAG, ") + label + " path (evaluator, web retriever, reranker)",
                     name + "/framework", name + "/chain", 3.0);
  }
}

void register_map_reduce() {
  benchmark::RegisterBenchmark("map_reduce_rag/framework", [](benchmark::State& state) {
    Parts parts(4);
    run_on_loop(strategy_loop(&state, std::make_shared<MapReduceRAG>(parts.transformer, parts.retriever,
                                                                     parts.synthesizer)));
  });
  benchmark::RegisterBenchmark("map_reduce_rag/chain", [](benchmark::State& state) {
    Parts parts(4);
    run_on_loop(
        chain_loop(&state, [&parts](std::string q, Value k) { return map_reduce_chain(&parts, std::move(q), std::move(k)); }));
  });
  add_ratio_figure("MapReduceRAG, 4 queries", "map_reduce_rag/framework", "map_reduce_rag/chain", 3.0);
}

Routes make_routes() {
  Routes routes;
  // The last branch matches, so every classifier is asked.
  routes.classifiers.push_back([](const std::string&) { return false; });
  routes.classifiers.push_back([](const std::string&) { return false; });
  routes.classifiers.push_back([](const std::string&) { return true; });
  return routes;
}

void register_routed() {
  benchmark::RegisterBenchmark("routed_strategy/framework", [](benchmark::State& state) {
    Parts parts;
    Routes routes = make_routes();
    auto strategy = std::make_shared<RoutedStrategy>();
    for (std::size_t i = 0; i < routes.classifiers.size(); ++i) {
      strategy->add_branch("branch_" + std::to_string(i), routes.classifiers[i],
                           Value(std::make_shared<NaiveRAG>(parts.retriever, parts.synthesizer)));
    }
    run_on_loop(strategy_loop(&state, strategy));
  });
  benchmark::RegisterBenchmark("routed_strategy/chain", [](benchmark::State& state) {
    Parts parts;
    Routes routes = make_routes();
    run_on_loop(chain_loop(&state, [&parts, &routes](std::string q, Value k) {
      return routed_chain(&parts, &routes, std::move(q), std::move(k));
    }));
  });
  add_ratio_figure("RoutedStrategy, 3 branches (NaiveRAG each, last one taken)", "routed_strategy/framework",
                   "routed_strategy/chain", 3.0);
}

void register_agentic() {
  benchmark::RegisterBenchmark("agentic_loop/framework", [](benchmark::State& state) {
    AgenticParts parts;
    AgenticRetrievalPipeline block(parts.retriever, Value(parts.selector), Value(parts.evaluator), kAgenticRounds,
                                   kAgenticTopK);
    run_on_loop(agentic_pipeline_loop(&state, block.build()));
  });
  benchmark::RegisterBenchmark("agentic_loop/chain", [](benchmark::State& state) {
    AgenticParts parts;
    run_on_loop(agentic_chain_loop(&state, &parts));
  });
  add_ratio_figure("Agentic retrieval loop, 3 rounds", "agentic_loop/framework", "agentic_loop/chain", 3.0);
}

}  // namespace

void register_strategy_benchmarks() {
  register_naive();
  register_crag();
  register_map_reduce();
  register_routed();
  register_agentic();
}

}  // namespace vorn_bench
