// Model I/O against a fake OpenAI-compatible server on 127.0.0.1 that answers
// every request after 100 ms, as a hosted model would keep a caller waiting:
//
// - MapReduceRAG whose model writes 4 sub-queries, whose retriever has a
//   model judge the relevance of the 10 chunks it finds for each, and whose
//   model writes the answer, against its critical path measured in the same
//   run: the same three kinds of call made one after another (expansion,
//   one relevance judgement, the answer). Calls that can overlap must, so
//   the strategy should take about that long, not the sum of its 6 calls.
// - 100 sequential chat requests to one endpoint: the connections the
//   server accepted, against a server that closes every connection.
// - 1,000 concurrent `arun`s of a NaiveRAG answering through the model,
//   against 1,000 concurrent bare model calls: failures, the most requests
//   the server saw at once (the per-endpoint limit is 64), wall time and the
//   peak growth of live heap memory per run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "components.hpp"
#include "harness.hpp"
#include "keepalive_http_server.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_generation/lm_query_transformer.hpp"
#include "vorn_generation/lm_relevance_filter.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_generation/prompt_builder.hpp"
#include "vorn_inference/openai_lm_invoker.hpp"
#include "vorn_rag/strategies/map_reduce_rag.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"

namespace vorn_bench {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using vorn_test::FakeReply;
using vorn_test::KeepAliveHttpServer;
using vorn_test::RecordedRequest;

constexpr auto kModelDelay = 100ms;
constexpr std::size_t kInFlight = 64;
constexpr int kConcurrentRuns = 1000;
constexpr int kSequentialRequests = 100;

std::string chat_reply(const std::string& content) {
  return json{{"id", "c"},
              {"model", "fake"},
              {"choices", {{{"index", 0}, {"message", {{"role", "assistant"}, {"content", content}}},
                            {"finish_reason", "stop"}}}}}
      .dump();
}

// Answers what each caller asks for: 4 queries to the query transformer,
// every odd passage to the relevance filter, a sentence otherwise.
FakeReply fake_model(const RecordedRequest& request, bool close) {
  const json body = json::parse(request.body, nullptr, false);
  std::string content = "The answer.";
  const json* properties = nullptr;
  if (body.is_object() && body.contains("response_format")) {
    properties = &body["response_format"]["json_schema"]["schema"]["properties"];
  }
  if (properties && properties->contains("queries")) {
    content = json{{"queries", {"first aspect", "second aspect", "third aspect", "fourth aspect"}}}.dump();
  } else if (properties && properties->contains("relevant")) {
    content = json{{"relevant", {"1", "3", "5", "7", "9"}}}.dump();
  }
  return FakeReply{.body = chat_reply(content), .delay = kModelDelay, .close = close};
}

KeepAliveHttpServer::Handler model_server(bool close = false) {
  return [close](const RecordedRequest& request) { return fake_model(request, close); };
}

std::shared_ptr<vorn_inference::OpenAILMInvoker> model_at(const KeepAliveHttpServer& server) {
  vorn_inference::OpenAILMInvokerOptions options;
  options.model = "fake";
  options.endpoint.base_url = server.base_url();
  options.endpoint.api_key_required = false;
  options.endpoint.retry.max_retries = 0;
  options.endpoint.http.max_in_flight_per_endpoint = kInFlight;
  return std::make_shared<vorn_inference::OpenAILMInvoker>(std::move(options));
}

vorn_generation::ResponseSynthesizerPtr answerer(const vorn_inference::LMInvokerPtr& lm) {
  auto builder = std::make_shared<vorn_generation::PromptBuilder>("Answer from the context.",
                                                                   "Context:\n{context}\n\nQuestion: {query}");
  return vorn_generation::ResponseSynthesizer::stuff(std::make_shared<vorn_generation::LMRequestProcessor>(builder, lm));
}

// Finds 10 chunks per query in memory, then has the model keep the relevant
// ones: the per-query work MapReduceRAG maps over its queries.
class JudgedRetriever final : public vorn_retrieval::BaseRetriever {
 public:
  explicit JudgedRetriever(vorn_retrieval::RelevanceFilterPtr filter) : filter_(std::move(filter)) {}

 protected:
  Task<ChunkList> retrieve_chunks(std::string query, vorn_retrieval::RetrieveOptions) override {
    ChunkList found;
    for (int i = 0; i < 10; ++i) {
      found.push_back(vorn_core::make_chunk(query + "#" + std::to_string(i), "Passage " + std::to_string(i) +
                                                                                 " about " + query + "."));
    }
    co_return co_await filter_->filter(std::move(found), std::move(query));
  }

 private:
  vorn_retrieval::RelevanceFilterPtr filter_;
};

struct MapReduceParts {
  KeepAliveHttpServer server{model_server()};
  std::shared_ptr<vorn_inference::OpenAILMInvoker> lm = model_at(server);
  std::shared_ptr<vorn_generation::LMQueryTransformer> transformer =
      std::make_shared<vorn_generation::LMQueryTransformer>(lm, vorn_generation::LMQueryTransformerOptions{
                                                                    .max_queries = 4});
  std::shared_ptr<vorn_generation::LMRelevanceFilter> filter =
      std::make_shared<vorn_generation::LMRelevanceFilter>(lm);
  vorn_retrieval::RetrieverPtr retriever = std::make_shared<JudgedRetriever>(filter);
  vorn_generation::ResponseSynthesizerPtr synthesizer = answerer(lm);
};

Task<void> map_reduce_loop(benchmark::State* state, vorn_rag::strategies::MapReduceRAGPtr strategy) {
  for (auto _ : *state) {
    Dict out = co_await strategy->arun("What are the four aspects?", Value(5));
    benchmark::DoNotOptimize(out);
  }
}

// The longest chain of calls that depend on each other: expand, judge the
// chunks of one query, answer.
Task<void> critical_path_loop(benchmark::State* state, const MapReduceParts* p) {
  for (auto _ : *state) {
    Value queries = co_await p->transformer->transform("What are the four aspects?");
    auto* retriever = static_cast<JudgedRetriever*>(p->retriever.get());
    Value chunks = co_await retriever->retrieve(queries.as_list().at(0), {});
    Value answer = co_await p->synthesizer->synthesize("What are the four aspects?", vorn_core::to_chunk_list(chunks));
    benchmark::DoNotOptimize(answer);
  }
}

Task<void> sequential_loop(benchmark::State* state, bool server_closes) {
  double connections = 0;
  for (auto _ : *state) {
    // A server of its own per iteration: its own port, so no connection of
    // an earlier iteration can be reused.
    KeepAliveHttpServer server(model_server(server_closes));
    auto lm = model_at(server);
    for (int i = 0; i < kSequentialRequests; ++i) {
      std::vector<vorn_inference::Message> messages;
      messages.push_back(vorn_inference::Message{"user", "question " + std::to_string(i)});
      auto output = co_await lm->invoke(std::move(messages), {});
      benchmark::DoNotOptimize(output);
    }
    connections += server.connections_opened();
  }
  state->counters["connections"] = connections / static_cast<double>(state->iterations());
}

// One run that counts its failure instead of ending the batch.
template <class Start>
Task<void> counted(Start start, std::atomic<int>* failures) {
  try {
    co_await start();
  } catch (const std::exception&) {
    failures->fetch_add(1);
  }
}

template <class Start>
Task<void> concurrent_loop(benchmark::State* state, const KeepAliveHttpServer* server, Start start) {
  double growth_sum = 0;
  std::atomic<int> failures{0};
  for (auto _ : *state) {
    const std::int64_t before = alloc_snapshot().live_bytes;
    reset_alloc_peak();
    std::vector<Task<void>> runs;
    runs.reserve(kConcurrentRuns);
    for (int i = 0; i < kConcurrentRuns; ++i) runs.push_back(counted(start, &failures));
    co_await vorn_core::when_all(std::move(runs));
    growth_sum += static_cast<double>(alloc_peak() - before);
  }
  const double iterations = static_cast<double>(state->iterations());
  state->counters["failures"] = failures.load() / iterations;
  state->counters["max_in_flight"] = server->max_concurrent_requests();
  state->counters["peak_bytes_per_run"] = growth_sum / iterations / kConcurrentRuns;
}

// A counter of `subject` against the same counter of `baseline`; met when at
// most `max_value`. Unlike the shared counter figure it shows no ratio when
// the baseline is zero (no failures).
void add_counter_limit(std::string title, std::string subject, std::string baseline, std::string counter,
                       double max_value) {
  figures().push_back(Figure{title, [=](const Results& r) -> std::vector<Row> {
                               const auto s = r.find(subject);
                               const auto b = r.find(baseline);
                               if (s == r.end() || b == r.end() || !s->second.counters.count(counter) ||
                                   !b->second.counters.count(counter)) {
                                 return {};
                               }
                               const double sv = s->second.counters.at(counter);
                               const double bv = b->second.counters.at(counter);
                               const auto whole = [](double v) { return std::to_string(std::llround(v)); };
                               return {Row{title, whole(sv), whole(bv), bv > 0 ? format_ratio(sv / bv) : "—",
                                           "≤ " + whole(max_value), sv <= max_value ? "yes" : "no"}};
                             }});
}

void add_wall_ratio(std::string title, std::string subject, std::string baseline, double max_ratio) {
  figures().push_back(Figure{title, [=](const Results& r) -> std::vector<Row> {
                               const auto s = r.find(subject);
                               const auto b = r.find(baseline);
                               if (s == r.end() || b == r.end()) return {};
                               const double ratio = s->second.real_ns / b->second.real_ns;
                               return {Row{title + " (wall time)", format_time(s->second.real_ns),
                                           format_time(b->second.real_ns), format_ratio(ratio),
                                           "≤ " + format_ratio(max_ratio) + " baseline", ratio <= max_ratio ? "yes" : "no"}};
                             }});
}

}  // namespace

void register_model_io_benchmarks() {
  benchmark::RegisterBenchmark("model_io/map_reduce_rag", [](benchmark::State& state) {
    MapReduceParts parts;
    auto strategy = std::make_shared<vorn_rag::strategies::MapReduceRAG>(parts.transformer, parts.retriever,
                                                                         parts.synthesizer);
    strategy->build();
    run_on_loop(map_reduce_loop(&state, strategy));
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("model_io/critical_path", [](benchmark::State& state) {
    MapReduceParts parts;
    run_on_loop(critical_path_loop(&state, &parts));
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  add_wall_ratio("MapReduceRAG over a 100 ms model (4 sub-queries, 10 chunks judged per query, answer) vs its "
                 "critical path",
                 "model_io/map_reduce_rag/real_time", "model_io/critical_path/real_time", 1.2);

  // 100 requests of 100 ms each: one iteration, one repetition is enough to
  // count connections.
  for (const bool closes : {false, true}) {
    benchmark::RegisterBenchmark(closes ? "model_io/sequential_100/server_closes" : "model_io/sequential_100",
                                 [closes](benchmark::State& state) { run_on_loop(sequential_loop(&state, closes)); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1)
        ->Repetitions(1);
  }
  add_counter_limit("100 sequential chat requests to one endpoint, connections opened",
                    "model_io/sequential_100/iterations:1/repeats:1/real_time",
                    "model_io/sequential_100/server_closes/iterations:1/repeats:1/real_time", "connections", 2.0);

  benchmark::RegisterBenchmark("model_io/concurrent_1000/naive_rag", [](benchmark::State& state) {
    KeepAliveHttpServer server(model_server());
    auto strategy = std::make_shared<vorn_rag::strategies::NaiveRAG>(
        std::make_shared<NoopRetriever>(make_chunks("doc-", 3)), answerer(model_at(server)));
    strategy->build();
    run_on_loop(concurrent_loop(&state, &server, [strategy]() -> Task<void> {
      Dict out = co_await strategy->arun("question", Value(3));
      benchmark::DoNotOptimize(out);
    }));
  })->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
  benchmark::RegisterBenchmark("model_io/concurrent_1000/bare_calls", [](benchmark::State& state) {
    KeepAliveHttpServer server(model_server());
    auto lm = model_at(server);
    run_on_loop(concurrent_loop(&state, &server, [lm]() -> Task<void> {
      std::vector<vorn_inference::Message> messages;
      messages.push_back(vorn_inference::Message{"user", "question"});
      auto output = co_await lm->invoke(std::move(messages), {});
      benchmark::DoNotOptimize(output);
    }));
  })->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
  const std::string runs = "model_io/concurrent_1000/naive_rag/iterations:1/real_time";
  const std::string bare = "model_io/concurrent_1000/bare_calls/iterations:1/real_time";
  add_counter_limit("1,000 concurrent NaiveRAG runs over a 100 ms model, failed runs", runs, bare, "failures", 0);
  add_counter_limit("1,000 concurrent NaiveRAG runs over a 100 ms model, most requests at the server at once (limit "
                    "64)",
                    runs, bare, "max_in_flight", static_cast<double>(kInFlight));
  add_wall_time_figure("1,000 concurrent NaiveRAG runs over a 100 ms model, wall time", runs, bare);
  add_counter_figure("1,000 concurrent NaiveRAG runs over a 100 ms model, peak memory growth per run", runs, bare,
                     "peak_bytes_per_run", "B", 16384.0);
}

}  // namespace vorn_bench
