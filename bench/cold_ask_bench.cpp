// What a person waits for when asking from a fresh process, and what one
// answer costs a running service.
//
// - cli_ask_cold/N: `vorn-rag ask` spawned on an index of N chunks (5,000 and
//   50,000), wall time per process, p50 of 15 spawns. Baseline: spawning
//   `vorn-rag --version` (loading the program and its libraries).
// - cli_ask_table/50000: the same 50,000-chunk index without the vector
//   file beside it (a hard link elsewhere), so that opening reads the codes
//   from the database: what the vector file saves.
// - vector_top40/codes: the store's vector search structure over the 5,000
//   hashing embeddings (code scan, exact re-ranking; exact rows already
//   held), top 40 as the hybrid retriever asks. Baseline: vector_top40/
//   float_scan, the exact scan of every float row that the store did before.
// - ask_in_process/N: open, hybrid top-5, extractive answer inside this
//   process (CPU time; reference only).
// - answer_warm_5000: one hybrid top-5 extractive answer on an open store
//   (reference only).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.hpp"
#include "stored_vectors.hpp"
#include "vector_code.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_datastore/vector_index.hpp"
#include "vorn_generation/extractive_answerer.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"

extern char** environ;

namespace vorn_bench {
namespace {

constexpr int kSpawns = 15;
const char* const kQuestions[] = {"How do I restore a backup archive?", "Which option sets the connection timeout?",
                                  "What does the parse function return?", "How is a row encoded to disk?"};

struct SpawnTimes {
  double wall = -1.0;  // seconds; negative when the program failed
  double cpu = 0.0;    // user + system seconds of the child
};

// One run of the command line program, output discarded.
SpawnTimes spawn_times(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int status = 0;
  rusage usage{};
  const bool ok = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
                  wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  const auto to_seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {ok ? seconds : -1.0, to_seconds(usage.ru_utime) + to_seconds(usage.ru_stime)};
}

void spawn_loop(benchmark::State& state, const std::vector<std::string>& args, bool vary_question) {
  std::vector<double> walls, cpus;
  std::size_t n = 0;
  for (auto _ : state) {
    std::vector<std::string> run = args;
    if (vary_question) run.push_back(kQuestions[n++ % std::size(kQuestions)]);
    const SpawnTimes t = spawn_times(run);
    if (t.wall < 0) {
      state.SkipWithError("the program failed");
      return;
    }
    state.SetIterationTime(t.wall);
    walls.push_back(t.wall);
    cpus.push_back(t.cpu);
  }
  const auto p50 = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) / 2] * 1e3;
  };
  state.counters["p50_ms"] = p50(walls);
  // What the process itself used: the wall time of a loaded machine is
  // mostly waiting for a core.
  state.counters["p50_cpu_ms"] = p50(cpus);
}

void cli_ask_cold(benchmark::State& state) {
  const auto& db = quality_ask_index(static_cast<std::size_t>(state.range(0)));
  spawn_loop(state, {VORN_CLI_PATH, "--store", db.string(), "ask"}, true);
}

// The index of `chunks` chunks seen from a directory without its vector
// file: a hard link, so nothing is copied and the file is the same.
const std::filesystem::path& table_only_index(std::size_t chunks) {
  static std::map<std::size_t, std::filesystem::path> links;
  if (auto it = links.find(chunks); it != links.end()) return it->second;
  const auto& db = quality_ask_index(chunks);
  const auto link = db.parent_path() / "without-vector-file" / db.filename();
  std::filesystem::create_directories(link.parent_path());
  std::filesystem::remove(link);
  std::filesystem::create_hard_link(db, link);
  return links.emplace(chunks, link).first->second;
}

void cli_ask_table(benchmark::State& state) {
  const auto& db = table_only_index(static_cast<std::size_t>(state.range(0)));
  spawn_loop(state, {VORN_CLI_PATH, "--store", db.string(), "ask"}, true);
}

void cli_version(benchmark::State& state) { spawn_loop(state, {VORN_CLI_PATH, "--version"}, false); }

// The hashing embeddings of the 5,000-chunk index and of the questions.
struct VectorCase {
  std::vector<std::vector<float>> rows, queries;
  VectorCase() {
    auto store = vorn_datastore::SqliteChunkStore::open(quality_ask_index(5000), {.read_only = true});
    for (std::size_t i = 0; i < 5000; ++i) {
      auto chunk = store.get("c" + std::to_string(i));
      rows.push_back(std::move(chunk->embedding));
    }
    vorn_inference::HashingEmbedder embedder(384);
    for (const char* q : kQuestions) {
      queries.push_back(vorn_core::run_sync(embedder.embed({q})).front());
    }
  }
};

const VectorCase& vector_case() {
  static const VectorCase c;
  return c;
}

void vector_codes(benchmark::State& state) {
  const VectorCase& c = vector_case();
  vorn_datastore::sqlite::StoredVectors vectors;
  vectors.set_dimension(384);
  for (const auto& r : c.rows) vectors.append_exact(r);
  const vorn_datastore::sqlite::StoredVectors::RowLoader none = [](std::size_t, std::span<float>) { return false; };
  std::size_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vectors.search(c.queries[n++ % c.queries.size()], 40, {}, nullptr, none));
  }
}

void vector_float_scan(benchmark::State& state) {
  const VectorCase& c = vector_case();
  vorn_datastore::VectorIndex index;
  for (const auto& r : c.rows) index.add_normalized(r);
  std::size_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(index.search(c.queries[n++ % c.queries.size()], 40));
}

// Open, hybrid top-5 and answer in this process: a cold `ask` without the
// program's start, CPU time.
void ask_in_process(benchmark::State& state) {
  const auto& db = quality_ask_index(static_cast<std::size_t>(state.range(0)));
  vorn_generation::ExtractiveAnswerer answerer;
  std::size_t n = 0;
  for (auto _ : state) {
    vorn_datastore::OpenOptions o;
    o.read_only = true;
    auto store = vorn_datastore::SqliteDataStore::open(db, std::make_shared<vorn_inference::HashingEmbedder>(384), o);
    vorn_retrieval::HybridRetriever retriever(store);
    const char* q = kQuestions[n++ % std::size(kQuestions)];
    vorn_retrieval::RetrieveOptions options;
    options.top_k = 5;
    const auto chunks = vorn_core::to_chunk_list(vorn_core::run_sync(retriever.retrieve(vorn_core::Value(q), options)));
    benchmark::DoNotOptimize(answerer.answer(q, chunks));
  }
}

void answer_warm(benchmark::State& state) {
  vorn_datastore::OpenOptions o;
  o.read_only = true;
  auto store = vorn_datastore::SqliteDataStore::open(quality_ask_index(5000),
                                                     std::make_shared<vorn_inference::HashingEmbedder>(384), o);
  vorn_retrieval::HybridRetriever retriever(store);
  vorn_generation::ExtractiveAnswerer answerer;
  std::size_t n = 0;
  for (auto _ : state) {
    const char* q = kQuestions[n++ % std::size(kQuestions)];
    vorn_retrieval::RetrieveOptions options;
    options.top_k = 5;
    const auto chunks = vorn_core::to_chunk_list(vorn_core::run_sync(retriever.retrieve(vorn_core::Value(q), options)));
    benchmark::DoNotOptimize(answerer.answer(q, chunks));
  }
}

Row spawn_row(const Results& r, const std::string& subject, const std::string& baseline, const char* title,
              double target_ms) {
  const auto s = r.find(subject);
  const auto b = r.find(baseline);
  if (s == r.end() || b == r.end()) return {};
  const double p50 = s->second.counters.at("p50_ms");
  const double base = b->second.counters.at("p50_ms");
  char value[96], base_text[96], target[32];
  std::snprintf(value, sizeof value, "%.1f ms p50 (CPU %.1f ms)", p50, s->second.counters.at("p50_cpu_ms"));
  std::snprintf(base_text, sizeof base_text, "%.1f ms p50 (CPU %.1f ms; --version)", base,
                b->second.counters.at("p50_cpu_ms"));
  std::snprintf(target, sizeof target, "<= %.0f ms p50", target_ms);
  return Row{title, value, base_text, format_ratio(p50 / base), target, p50 <= target_ms ? "yes" : "no"};
}

}  // namespace

void register_cold_ask_benchmarks() {
  benchmark::RegisterBenchmark("cold/cli_version", cli_version)->Iterations(kSpawns)->UseManualTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("cold/cli_ask", cli_ask_cold)
      ->Arg(5000)
      ->Arg(50000)
      ->Iterations(kSpawns)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("cold/cli_ask_table", cli_ask_table)
      ->Arg(50000)
      ->Iterations(kSpawns)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("cold/ask_in_process", ask_in_process)
      ->Arg(5000)
      ->Arg(50000)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("cold/vector_top40/codes", vector_codes)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("cold/vector_top40/float_scan", vector_float_scan)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("cold/answer_warm_5000", answer_warm)->Unit(benchmark::kMicrosecond);
  add_ratio_figure("Vector top-40 over 5,000 x 384 (codes + exact re-rank vs exact float scan)",
                   "cold/vector_top40/codes", "cold/vector_top40/float_scan", 1.0);
  figures().push_back(Figure{"cold cli", [](const Results& r) -> std::vector<Row> {
                               std::vector<Row> rows;
                               const std::string base = "cold/cli_version/iterations:15/manual_time";
                               Row a = spawn_row(r, "cold/cli_ask/5000/iterations:15/manual_time", base,
                                                 "`vorn-rag ask` from a cold process, 5,000 chunks (wall)", 50);
                               Row b = spawn_row(r, "cold/cli_ask/50000/iterations:15/manual_time", base,
                                                 "`vorn-rag ask` from a cold process, 50,000 chunks (wall)", 150);
                               if (!a.figure.empty()) rows.push_back(a);
                               if (!b.figure.empty()) rows.push_back(b);
                               // CPU time: on a loaded machine the wall time is mostly waiting.
                               const auto file = r.find("cold/cli_ask/50000/iterations:15/manual_time");
                               const auto table = r.find("cold/cli_ask_table/50000/iterations:15/manual_time");
                               if (file != r.end() && table != r.end()) {
                                 const double f = file->second.counters.at("p50_cpu_ms");
                                 const double t = table->second.counters.at("p50_cpu_ms");
                                 char value[64], base[96];
                                 std::snprintf(value, sizeof value, "%.1f ms CPU p50", f);
                                 std::snprintf(base, sizeof base, "%.1f ms CPU p50 (codes read from the database)", t);
                                 rows.push_back(Row{"`vorn-rag ask`, 50,000 chunks, codes read in place from the vector file",
                                                    value, base, format_ratio(f / t), "< 1x", f < t ? "yes" : "no"});
                               }
                               return rows;
                             }});
}

}  // namespace vorn_bench
