// `vorn-rag serve` under load, against loopback only, bounded in time.
//
//   serve/ask_alternating  POST /v1/ask driven by wrk (64 connections) at a
//                          server started in this process, and the same
//                          questions asked in-process through the server's
//                          own service by as many threads as it has workers
//                          (the baseline), in alternating rounds of a few
//                          seconds: both sides see the same minute of the
//                          machine. Rates, their ratio round by round and in
//                          total, p99, and the CPU time per answer of the
//                          server, of wrk and of the baseline's threads
//   serve/ask_one_*        one question at a time, in-process and over one
//                          connection: the median latency the server adds
//   serve/bad_input_flood  three floods of 10,000 bad requests (malformed
//                          JSON, wrong types, huge bodies, slow senders,
//                          unknown routes) interleaved with good ones, at
//                          `vorn-rag serve` as its own process; every answer
//                          checked, and its memory after each flood
//
// Both ask figures use one index of about 5,000 chunks of generated text and
// the offline extractive answerer. A summary with the ratio follows the
// benchmark table. Run with bench/serve_load.sh.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "components.hpp"
#include "engine.hpp"
#include "http_server.hpp"
#include "service.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
#include "vorn_core/event_loop.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kDocuments = 560;
constexpr std::size_t kWorkers = 2;
constexpr int kConnections = 64;
// Rounds of each side, in the order in-process, HTTP, HTTP, in-process,
// in-process, ...: a machine that speeds up or slows down over the run
// weighs on both sides alike.
// Short rounds: another process's burst of a few seconds then falls on
// both sides, not on one.
constexpr int kRounds = 8;
constexpr int kRoundSeconds = 2;
// Both sides answer the same questions for this long before they are measured.
constexpr std::chrono::seconds kWarmUp{2};
// Idle time after a flood before the server's memory is read.
constexpr std::chrono::milliseconds kSettle{1500};

// One round of each side.
struct Round {
  double in_process_rps = 0, http_rps = 0, http_p99_ms = 0;
  // CPU time per answer: the in-process threads', and over HTTP the whole
  // server's (every thread of this process) and wrk's.
  double in_process_cpu_us = 0, http_server_cpu_us = 0, http_wrk_cpu_us = 0;
  // The server's split: answering threads, connection threads.
  double http_engine_cpu_us = 0, http_connection_cpu_us = 0;
};

struct Figures {
  std::vector<Round> rounds;
  // Over all rounds: answers over the seconds each side ran.
  double in_process_rps = 0;
  double http_rps = 0;
  double http_p99_ms = 0;  // of every request of every round
  double http_errors = -1;
  double in_process_cpu_us = 0, http_server_cpu_us = 0, http_wrk_cpu_us = 0;
  double http_engine_cpu_us = 0, http_connection_cpu_us = 0;
  // One connection (one question at a time): median latency.
  double one_in_process_p50_ms = 0, one_http_p50_ms = 0;
  std::size_t bad_sent = 0, bad_answered_4xx_json = 0, good_sent = 0, good_ok = 0;
  // The server's private resident memory (anonymous: heap, arenas, stacks)
  // after the warm-up flood and after each of the two floods that follow.
  long private_warm_kb = 0, private_second_kb = 0, private_third_kb = 0;
} g_figures;

std::vector<std::string> vocabulary() {
  std::vector<std::string> words;
  const char* syllables[] = {"ka", "lo", "mi", "ne", "ru", "ta", "vo", "shi", "pe", "dra", "ul", "zen", "qua", "bri"};
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    std::string w;
    const int n = 2 + static_cast<int>(rng() % 3);
    for (int s = 0; s < n; ++s) w += syllables[rng() % 14];
    words.push_back(w);
  }
  return words;
}

// About 5,000 chunks of generated prose, indexed once and kept between runs.
// The name carries the index format, so a build that reads another format
// indexes afresh instead of being refused the kept file.
fs::path index_path() {
  static const fs::path path = [] {
    const fs::path dir = fs::temp_directory_path() / "vorn_serve_bench";
    const fs::path db = dir / ("index-" + std::to_string(kDocuments) + "-v" +
                               std::to_string(vorn_datastore::kIndexFormatVersion) + ".db");
    if (fs::exists(db)) return db;
    fs::remove_all(dir);
    fs::create_directories(dir / "docs");
    auto words = vocabulary();
    std::mt19937 rng(11);
    for (std::size_t d = 0; d < kDocuments; ++d) {
      std::ofstream out(dir / "docs" / ("doc" + std::to_string(d) + ".md"));
      out << "# Topic " << words[d % words.size()] << "\n\n";
      for (int p = 0; p < 14; ++p) {
        for (int s = 0; s < 6; ++s) {
          for (int w = 0; w < 9; ++w) out << words[(rng() % 600) + (rng() % 4 == 0 ? d % 2400 : 0)] << ' ';
          out << "is " << words[rng() % words.size()] << ". ";
        }
        out << "\n\n";
      }
    }
    const std::string db_s = db.string(), docs_s = (dir / "docs").string();
    const char* argv[] = {"vorn-rag", "--store", db_s.c_str(), "index", "--no-progress", docs_s.c_str()};
    std::ostringstream o, e;
    if (vorn_cli::run(6, argv, o, e) != 0) std::fprintf(stderr, "indexing failed: %s\n", e.str().c_str());
    return db;
  }();
  return path;
}

std::vector<std::string> questions() {
  auto words = vocabulary();
  std::vector<std::string> qs;
  for (int i = 0; i < 32; ++i) {
    qs.push_back("What is " + words[(i * 37) % 600] + " " + words[(i * 91 + 5) % 600] + " about " +
                 words[(i * 13 + 2) % 600] + "?");
  }
  return qs;
}

vorn_serve::ServiceOptions service_options() {
  vorn_serve::ServiceOptions o;
  o.store.path = index_path();
  return o;
}

// Where a process's resident memory is: thread stacks (anonymous mappings
// of the stack size, one per thread), the rest of anonymous memory (the
// allocator's arenas and large blocks), and file pages (the program, its
// libraries, the index as SQLite maps it).
struct MemoryView {
  long rss_kb = 0, stacks_kb = 0, anon_kb = 0, file_kb = 0;
  int threads = 0;
};

MemoryView memory_view(pid_t pid) {
  MemoryView v;
  rlimit stack{};
  ::getrlimit(RLIMIT_STACK, &stack);
  const long stack_kb = static_cast<long>(stack.rlim_cur / 1024);
  const fs::path proc = fs::path("/proc") / std::to_string(pid);
  std::ifstream smaps(proc / "smaps");
  std::string line;
  bool anon = false;
  long size_kb = 0;
  while (std::getline(smaps, line)) {
    if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 17) {
      std::istringstream fields(line);
      std::string range, perms, offset, dev, inode, path;
      fields >> range >> perms >> offset >> dev >> inode >> path;
      anon = path.empty() || path == "[heap]" || path == "[stack]";
    } else if (line.rfind("Size:", 0) == 0) {
      size_kb = std::stol(line.substr(5));
    } else if (line.rfind("Rss:", 0) == 0) {
      const long rss = std::stol(line.substr(4));
      v.rss_kb += rss;
      (!anon ? v.file_kb : size_kb == stack_kb ? v.stacks_kb : v.anon_kb) += rss;
    }
  }
  std::error_code ec;
  for (auto it = fs::directory_iterator(proc / "task", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    ++v.threads;
  }
  return v;
}

std::string describe(const MemoryView& v) {
  char text[200];
  std::snprintf(text, sizeof text, "%.1f MiB (stacks %.1f, %d threads; other anonymous %.1f; file %.1f)",
                v.rss_kb / 1024.0, v.stacks_kb / 1024.0, v.threads, v.anon_kb / 1024.0, v.file_kb / 1024.0);
  return text;
}

// ---- in-process baseline -------------------------------------------------------

vorn_core::Task<void> ask_all(vorn_serve::RagService& service, const std::vector<std::string>& qs, std::size_t from,
                              std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    vorn_serve::AskRequest request;
    request.question = qs[(from + i) % qs.size()];
    request.strategy = "naive";
    request.retriever = "hybrid";
    request.top_k = 5;
    auto result = co_await service.ask(std::move(request));
    benchmark::DoNotOptimize(result.answer.data());
  }
}

// One service for every thread and run, as the server's workers share one.
vorn_serve::RagService& shared_service() {
  static vorn_serve::RagService service(service_options());
  return service;
}

double thread_cpu_seconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Threads that ask a service the same questions as the HTTP clients, for a
// given time on each call, as the server's workers answer them: the same
// threads and event loops from round to round.
class InProcessAskers {
 public:
  struct Outcome {
    std::size_t answers = 0;
    double seconds = 0, cpu_seconds = 0;
  };

  InProcessAskers(vorn_serve::RagService& service, std::size_t threads) : service_(service) {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this, i] { ask(i); });
  }
  ~InProcessAskers() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    go_.notify_all();
    for (auto& t : threads_) t.join();
  }

  Outcome run_for(std::chrono::steady_clock::duration length) {
    std::unique_lock lock(mutex_);
    outcome_ = {};
    finished_ = 0;
    const auto start = std::chrono::steady_clock::now();
    until_ = start + length;
    ++round_;
    go_.notify_all();
    done_.wait(lock, [this] { return finished_ == threads_.size(); });
    outcome_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome_;
  }

 private:
  void ask(std::size_t index) {
    const auto qs = questions();
    std::size_t n = index * 7;
    vorn_core::EventLoop loop;
    std::uint64_t seen = 0;
    for (;;) {
      std::chrono::steady_clock::time_point until;
      {
        std::unique_lock lock(mutex_);
        go_.wait(lock, [&] { return quit_ || round_ != seen; });
        if (quit_) return;
        seen = round_;
        until = until_;
      }
      const double cpu = thread_cpu_seconds();
      std::size_t answers = 0;
      for (; std::chrono::steady_clock::now() < until; ++answers) loop.run_until_complete(ask_all(service_, qs, n++, 1));
      std::lock_guard lock(mutex_);
      outcome_.answers += answers;
      outcome_.cpu_seconds += thread_cpu_seconds() - cpu;
      if (++finished_ == threads_.size()) done_.notify_one();
    }
  }

  vorn_serve::RagService& service_;
  std::mutex mutex_;
  std::condition_variable go_, done_;
  std::uint64_t round_ = 0;
  std::chrono::steady_clock::time_point until_;
  std::size_t finished_ = 0;
  Outcome outcome_;
  bool quit_ = false;
  std::vector<std::thread> threads_;
};

// ---- over HTTP, driven by wrk ----------------------------------------------------

struct RunningServer {
  vorn_serve::RagService service{service_options()};
  vorn_serve::Engine engine;
  vorn_serve::HttpServer server;
  int port = 0;
  std::thread thread;
  explicit RunningServer(vorn_serve::HttpOptions http, vorn_serve::EngineOptions e = {kWorkers, 256, 8})
      : engine(e), server(prepare(http), service, engine) {
    port = server.bind();
    thread = std::thread([this] { server.serve(); });
  }
  ~RunningServer() {
    server.shutdown();
    thread.join();
    engine.stop();
  }
  static vorn_serve::HttpOptions prepare(vorn_serve::HttpOptions http) {
    http.host = "127.0.0.1";
    http.port = 0;
    return http;
  }
};

std::string run_capture(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

double cpu_seconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double latency_ms(const std::string& text) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(R"(([0-9.]+)(us|ms|s)\b)"))) return -1;
  const double v = std::stod(m[1]);
  return m[2] == "us" ? v / 1000 : m[2] == "s" ? v * 1000 : v;
}

// CPU seconds of this process's threads, by name: the server's request
// threads ("vorn-request": they read, answer and write a request that
// arrived whole) and engine workers ("vorn-engine"), and its connection
// threads ("vorn-connection": requests that wait, streams).
std::map<std::string, double> cpu_by_thread_name() {
  std::map<std::string, double> cpu;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/self/task", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::ifstream comm(it->path() / "comm"), schedstat(it->path() / "schedstat");
    std::string name;
    double on_cpu_ns = 0;
    if (std::getline(comm, name) && schedstat >> on_cpu_ns) cpu[name] += on_cpu_ns / 1e9;
  }
  return cpu;
}

// Latencies in microseconds and how many requests took each.
using Histogram = std::map<long, long>;

double percentile_ms(const Histogram& latencies, double p) {
  long total = 0;
  for (const auto& [us, n] : latencies) total += n;
  long seen = 0;
  for (const auto& [us, n] : latencies) {
    seen += n;
    if (static_cast<double>(seen) >= p / 100 * static_cast<double>(total)) return static_cast<double>(us) / 1000;
  }
  return 0;
}

// What one wrk run reports.
struct WrkRun {
  double rps = 0, p50_ms = 0, p99_ms = 0, mean_ms = 0, errors = -1;
  double requests = 0, seconds = 0;
  double server_cpu_us = 0, wrk_cpu_us = 0;  // per request
  // The server's CPU per request split: its request threads' and engine
  // workers', its connection threads' (threads that exited during the run
  // not counted).
  double engine_cpu_us = 0, connection_cpu_us = 0;
  Histogram latencies;
  std::string report;
};

WrkRun run_wrk(int port, int connections, int seconds) {
  const fs::path dir = fs::temp_directory_path() / "vorn_serve_bench";
  const fs::path script = dir / "ask.lua", histogram = dir / "latencies.txt";
  {
    std::ofstream lua(script);
    lua << "local qs = {";
    for (const auto& q : questions()) lua << nlohmann::json(nlohmann::json{{"question", q}}.dump()).dump() << ",";
    lua << "}\nlocal i = 0\nrequest = function()\n  i = i + 1\n"
           "  return wrk.format('POST', '/v1/ask', {['Content-Type'] = 'application/json'}, qs[(i % #qs) + 1])\nend\n"
           // Every latency seen, so that rounds merge into one distribution.
           "done = function(summary, latency, requests)\n  local f = io.open("
        << nlohmann::json(histogram.string()).dump()
        << ", 'w')\n  for i = 1, #latency do\n    local us, n = latency(i)\n"
           "    f:write(string.format('%d %d\\n', us, n))\n  end\n  f:close()\nend\n";
  }
  fs::remove(histogram);
  WrkRun run;
  const double server_cpu_before = cpu_seconds(RUSAGE_SELF), wrk_cpu_before = cpu_seconds(RUSAGE_CHILDREN);
  auto threads_cpu = cpu_by_thread_name();
  run.report = run_capture("wrk -t1 -c" + std::to_string(connections) + " -d" + std::to_string(seconds) +
                           "s --latency -s " + script.string() + " http://127.0.0.1:" + std::to_string(port) + "/ 2>&1");
  const double server_cpu = cpu_seconds(RUSAGE_SELF) - server_cpu_before;
  const double wrk_cpu = cpu_seconds(RUSAGE_CHILDREN) - wrk_cpu_before;
  for (const auto& [name, seconds] : cpu_by_thread_name()) threads_cpu[name] = seconds - threads_cpu[name];
  const std::string& report = run.report;
  std::smatch m;
  if (std::regex_search(report, m, std::regex(R"(Requests/sec:\s+([0-9.]+))"))) run.rps = std::stod(m[1]);
  if (std::regex_search(report, m, std::regex(R"(([0-9]+) requests in ([0-9.]+)(ms|s|m)\b)"))) {
    run.requests = std::stod(m[1]);
    run.seconds = std::stod(m[2]) * (m[3] == "ms" ? 0.001 : m[3] == "m" ? 60 : 1);
    run.server_cpu_us = run.requests > 0 ? server_cpu * 1e6 / run.requests : 0;
    run.wrk_cpu_us = run.requests > 0 ? wrk_cpu * 1e6 / run.requests : 0;
    run.engine_cpu_us =
        run.requests > 0 ? (threads_cpu["vorn-request"] + threads_cpu["vorn-engine"]) * 1e6 / run.requests : 0;
    run.connection_cpu_us = run.requests > 0 ? threads_cpu["vorn-connection"] * 1e6 / run.requests : 0;
  }
  if (std::regex_search(report, m, std::regex(R"(50%\s+(\S+))"))) run.p50_ms = latency_ms(m[1]);
  if (std::regex_search(report, m, std::regex(R"(99%\s+(\S+))"))) run.p99_ms = latency_ms(m[1]);
  if (std::regex_search(report, m, std::regex(R"(Latency\s+(\S+))"))) run.mean_ms = latency_ms(m[1]);
  double errors = 0;
  if (std::regex_search(report, m, std::regex(R"(Non-2xx or 3xx responses:\s+([0-9]+))"))) errors += std::stod(m[1]);
  if (std::regex_search(report, m, std::regex(R"(Socket errors: connect ([0-9]+), read ([0-9]+), write ([0-9]+), timeout ([0-9]+))"))) {
    for (int i = 1; i <= 4; ++i) errors += std::stod(m[i]);
  }
  run.errors = run.rps > 0 ? errors : -1;
  std::ifstream in(histogram);
  for (long us = 0, n = 0; in >> us >> n;) run.latencies[us] += n;
  return run;
}

void BM_ask_alternating(benchmark::State& state) {
  RunningServer running(vorn_serve::HttpOptions{});
  InProcessAskers askers(running.service, kWorkers);
  // Both sides warm up alike: the same questions for as long, on the
  // threads then measured.
  (void)askers.run_for(kWarmUp);
  (void)run_wrk(running.port, kConnections, static_cast<int>(kWarmUp.count()));
  double in_answers = 0, in_seconds = 0, in_cpu = 0, http_requests = 0, http_seconds = 0, server_cpu = 0, wrk_cpu = 0;
  double engine_cpu = 0, connection_cpu = 0, errors = 0;
  Histogram latencies;
  for (auto _ : state) {
    for (int r = 0; r < kRounds; ++r) {
      Round round;
      const auto in_process = [&] {
        const InProcessAskers::Outcome o = askers.run_for(std::chrono::seconds(kRoundSeconds));
        round.in_process_rps = static_cast<double>(o.answers) / o.seconds;
        round.in_process_cpu_us = o.answers > 0 ? o.cpu_seconds * 1e6 / static_cast<double>(o.answers) : 0;
        in_answers += static_cast<double>(o.answers);
        in_seconds += o.seconds;
        in_cpu += o.cpu_seconds;
      };
      const auto over_http = [&] {
        WrkRun run = run_wrk(running.port, kConnections, kRoundSeconds);
        std::fprintf(stderr, "round %d: %s\n", r + 1, run.report.c_str());
        round.http_rps = run.rps;
        round.http_p99_ms = run.latencies.empty() ? run.p99_ms : percentile_ms(run.latencies, 99);
        round.http_server_cpu_us = run.server_cpu_us;
        round.http_wrk_cpu_us = run.wrk_cpu_us;
        round.http_engine_cpu_us = run.engine_cpu_us;
        round.http_connection_cpu_us = run.connection_cpu_us;
        engine_cpu += run.engine_cpu_us * run.requests;
        connection_cpu += run.connection_cpu_us * run.requests;
        http_requests += run.requests;
        http_seconds += run.seconds;
        server_cpu += run.server_cpu_us * run.requests;
        wrk_cpu += run.wrk_cpu_us * run.requests;
        errors += run.errors < 0 ? 1 : run.errors;
        for (const auto& [us, n] : run.latencies) latencies[us] += n;
      };
      if (r % 2 == 0) {
        in_process();
        over_http();
      } else {
        over_http();
        in_process();
      }
      g_figures.rounds.push_back(round);
    }
  }
  g_figures.in_process_rps = in_seconds > 0 ? in_answers / in_seconds : 0;
  g_figures.http_rps = http_seconds > 0 ? http_requests / http_seconds : 0;
  g_figures.http_p99_ms = percentile_ms(latencies, 99);
  g_figures.http_errors = errors;
  g_figures.in_process_cpu_us = in_answers > 0 ? in_cpu * 1e6 / in_answers : 0;
  g_figures.http_server_cpu_us = http_requests > 0 ? server_cpu / http_requests : 0;
  g_figures.http_wrk_cpu_us = http_requests > 0 ? wrk_cpu / http_requests : 0;
  g_figures.http_engine_cpu_us = http_requests > 0 ? engine_cpu / http_requests : 0;
  g_figures.http_connection_cpu_us = http_requests > 0 ? connection_cpu / http_requests : 0;
  state.counters["in_process_per_s"] = g_figures.in_process_rps;
  state.counters["http_per_s"] = g_figures.http_rps;
  state.counters["p99_ms"] = g_figures.http_p99_ms;
  state.counters["errors"] = errors;
  if (g_figures.http_rps == 0) state.SkipWithError("wrk gave no figures (is it installed?)");
}
BENCHMARK(BM_ask_alternating)->Name("serve/ask_alternating")->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// One question at a time: what the server adds to an answer's latency.
void BM_ask_one_in_process(benchmark::State& state) {
  vorn_serve::RagService& service = shared_service();
  const auto qs = questions();
  std::size_t n = 0;
  vorn_core::EventLoop loop;
  std::vector<double> millis;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    loop.run_until_complete(ask_all(service, qs, n++, 1));
    millis.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::nth_element(millis.begin(), millis.begin() + static_cast<std::ptrdiff_t>(millis.size() / 2), millis.end());
  g_figures.one_in_process_p50_ms = millis[millis.size() / 2];
  state.counters["p50_ms"] = g_figures.one_in_process_p50_ms;
}
BENCHMARK(BM_ask_one_in_process)->Name("serve/ask_one_in_process")->UseRealTime()->MinTime(3.0);

void BM_ask_one_over_http(benchmark::State& state) {
  RunningServer running(vorn_serve::HttpOptions{});
  (void)run_wrk(running.port, 1, 1);
  WrkRun run;
  for (auto _ : state) run = run_wrk(running.port, 1, 5);
  g_figures.one_http_p50_ms = run.p50_ms;
  state.counters["p50_ms"] = run.p50_ms;
  state.counters["server_cpu_us"] = run.server_cpu_us;
  if (run.rps == 0) state.SkipWithError(("wrk gave no figures (is it installed?): " + run.report).c_str());
}
BENCHMARK(BM_ask_one_over_http)->Name("serve/ask_one_over_http")->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// ---- bad input interleaved with good ---------------------------------------------

struct Probe {
  std::string method, path, body;
  bool good;
};

std::vector<Probe> probes() {
  const std::string huge(2 << 20, 'x');
  return {{"POST", "/v1/ask", R"({"question": )", false},
          {"POST", "/v1/ask", R"({"question": 5})", false},
          {"POST", "/v1/ask", R"({"question": "q", "top_k": "many"})", false},
          {"POST", "/v1/ask", R"(["not", "an", "object"])", false},
          {"POST", "/v1/search", R"({"query": "q", "filter": {"a": {"b": 1}}})", false},
          {"POST", "/v1/chat/completions", R"({"messages": 7})", false},
          {"GET", "/v1/nothing-here", "", false},
          {"POST", "/v1/ask", huge, false},
          {"POST", "/v1/ask", R"({"question": "What is kalo about mine?"})", true},
          {"POST", "/v1/search", R"({"query": "rutavo", "top_k": 3})", true}};
}

bool is_json_error(const std::string& body) {
  auto j = nlohmann::json::parse(body, nullptr, false);
  return j.is_object() && j.contains("error") && j["error"]["code"].is_string();
}

// A client that sends its head a byte at a time: the server must cut it off.
bool slow_sender_cut_off(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  const std::string head = "POST /v1/ask HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nX-Slow: ";
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  timeval tv{0, 50'000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string reply;
  char buf[1024];
  for (int i = 0; i < 100; ++i) {  // at most 5 s
    ::send(fd, "a", 1, MSG_NOSIGNAL);
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) break;
    if (n > 0) reply.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return reply.find(" 408 ") != std::string::npos && reply.find("VORN-SERVE-TIMEOUT") != std::string::npos;
}

// `vorn-rag serve` as its own process, as it is deployed: its memory is
// then the server's alone, not the flooding clients' too.
class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> args) {
    args.insert(args.begin(), VORN_RAG_EXE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    ::posix_spawn_file_actions_addclose(&actions, out[0]);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // "Serving N chunks of PATH on http://127.0.0.1:PORT/ ..."
    std::string said;
    char c;
    while (pid_ > 0 && said.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1) said += c;
    ::close(out[0]);
    std::smatch m;
    if (std::regex_search(said, m, std::regex(R"(:([0-9]+)/)"))) port_ = std::stoi(m[1]);
  }
  ~ServerProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  pid_t pid() const { return pid_; }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

void BM_bad_input_flood(benchmark::State& state) {
  ServerProcess server({"--store", index_path().string(), "serve", "--port", "0", "--workers",
                        std::to_string(kWorkers), "--request-deadline", "0.3"});
  if (server.port() == 0) {
    state.SkipWithError("vorn-rag serve did not start");
    return;
  }
  const int port = server.port();
  const auto all = probes();
  constexpr int kClients = 4;
  constexpr std::size_t kBad = 10000;
  // One flood: `bad` bad requests interleaved with good ones over four
  // connections, plus twenty slow senders alongside.
  auto flood = [&](std::size_t bad) {
    std::atomic<std::size_t> bad_sent{0}, bad_ok{0}, good_sent{0}, good_ok{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kClients; ++t) {
      clients.emplace_back([&, t] {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(10, 0);
        for (std::size_t i = static_cast<std::size_t>(t);; i += kClients) {
          const Probe& p = all[i % all.size()];
          if (!p.good && bad_sent.fetch_add(1) >= bad) break;
          if (p.good) good_sent.fetch_add(1);
          auto r = p.method == "GET" ? c.Get(p.path) : c.Post(p.path, p.body, "application/json");
          if (!r) continue;
          if (p.good && r->status == 200 && r->body.find(p.path == "/v1/ask" ? "\"answer\"" : "\"results\"") !=
                                                std::string::npos) {
            good_ok.fetch_add(1);
          } else if (!p.good && r->status >= 400 && r->status < 500 && is_json_error(r->body)) {
            bad_ok.fetch_add(1);
          }
        }
      });
    }
    std::atomic<int> slow_ok{0};
    std::vector<std::thread> slow;
    for (int s = 0; s < 20; ++s) slow.emplace_back([&] { slow_ok += slow_sender_cut_off(port) ? 1 : 0; });
    for (auto& c : clients) c.join();
    for (auto& s : slow) s.join();
    g_figures.bad_sent += bad + 20;
    g_figures.bad_answered_4xx_json += bad_ok.load() + static_cast<std::size_t>(slow_ok.load());
    g_figures.good_sent += good_sent.load();
    g_figures.good_ok += good_ok.load();
    // Memory once the burst is over, as an operator would read it.
    std::this_thread::sleep_for(kSettle);
    const MemoryView v = memory_view(server.pid());
    std::fprintf(stderr, "server after a flood of %zu bad requests: %s\n", bad, describe(v).c_str());
    return v.anon_kb + v.stacks_kb;
  };
  for (auto _ : state) {
    // The warm-up flood, as long as the others, brings every cache, arena,
    // thread and pooled index reader the server needs to its working size;
    // the two floods after it must add (close to) nothing.
    g_figures.private_warm_kb = flood(kBad);
    g_figures.private_second_kb = flood(kBad);
    g_figures.private_third_kb = flood(kBad);
  }
  state.counters["bad_4xx_json"] = static_cast<double>(g_figures.bad_answered_4xx_json);
  state.counters["good_ok"] = static_cast<double>(g_figures.good_ok);
  state.counters["private_growth_kb"] = static_cast<double>(g_figures.private_third_kb - g_figures.private_warm_kb);
}
BENCHMARK(BM_bad_input_flood)->Name("serve/bad_input_flood")->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void print_summary() {
  const auto ratio_of = [](double http, double in_process) { return in_process > 0 ? http / in_process : 0; };
  const double ratio = ratio_of(g_figures.http_rps, g_figures.in_process_rps);
  const auto met = [](bool ok) { return ok ? "yes" : "NO"; };
  std::printf("\n| round | over HTTP | in-process | ratio | p99 | CPU per answer: server (+ wrk) / in-process | server: answering + connection threads |\n"
              "|---|---|---|---|---|---|---|\n");
  for (std::size_t r = 0; r < g_figures.rounds.size(); ++r) {
    const Round& round = g_figures.rounds[r];
    std::printf("| %zu | %.0f req/s | %.0f req/s | %.2f | %.1f ms | %.0f (+%.0f) / %.0f us | %.0f + %.0f us |\n", r + 1,
                round.http_rps, round.in_process_rps, ratio_of(round.http_rps, round.in_process_rps),
                round.http_p99_ms, round.http_server_cpu_us, round.http_wrk_cpu_us, round.in_process_cpu_us,
                round.http_engine_cpu_us, round.http_connection_cpu_us);
  }
  std::vector<double> ratios;
  for (const Round& round : g_figures.rounds) ratios.push_back(ratio_of(round.http_rps, round.in_process_rps));
  std::sort(ratios.begin(), ratios.end());
  const double median = ratios.empty() ? 0 : (ratios[(ratios.size() - 1) / 2] + ratios[ratios.size() / 2]) / 2;
  std::printf("\n| figure | value | baseline | ratio | target | met? |\n|---|---|---|---|---|---|\n");
  std::printf("| rate ratio, round by round: median (lowest, highest) | %.2f (%.2f, %.2f) | | | | |\n", median,
              ratios.empty() ? 0 : ratios.front(), ratios.empty() ? 0 : ratios.back());
  std::printf("| POST /v1/ask, %d connections (wrk), all rounds | %.0f req/s | %.0f req/s in-process (%zu threads) | %.2f | >= 0.80 | %s |\n",
              kConnections, g_figures.http_rps, g_figures.in_process_rps, kWorkers, ratio, met(ratio >= 0.8));
  std::printf("| CPU per answer: server over HTTP (+ wrk) vs in-process | %.0f us (+ %.0f us) | %.0f us | %.2f | | |\n",
              g_figures.http_server_cpu_us, g_figures.http_wrk_cpu_us, g_figures.in_process_cpu_us,
              ratio_of(g_figures.http_server_cpu_us, g_figures.in_process_cpu_us));
  std::printf("| the server's CPU per answer: answering threads + connection threads | %.0f + %.0f us | %.0f us | %.2f | | |\n",
              g_figures.http_engine_cpu_us, g_figures.http_connection_cpu_us, g_figures.in_process_cpu_us,
              ratio_of(g_figures.http_engine_cpu_us, g_figures.in_process_cpu_us));
  std::printf("| POST /v1/ask p99 latency, all rounds | %.1f ms | | | <= 50 ms | %s |\n", g_figures.http_p99_ms,
              met(g_figures.http_p99_ms > 0 && g_figures.http_p99_ms <= 50));
  std::printf("| one question at a time: p50 latency over HTTP vs in-process | %.2f ms | %.2f ms | %.2f | | |\n",
              g_figures.one_http_p50_ms, g_figures.one_in_process_p50_ms,
              g_figures.one_in_process_p50_ms > 0 ? g_figures.one_http_p50_ms / g_figures.one_in_process_p50_ms : 0);
  std::printf("| POST /v1/ask errors | %.0f | | | 0 | %s |\n", g_figures.http_errors, met(g_figures.http_errors == 0));
  std::printf("| bad requests answered 4xx + JSON error | %zu of %zu | | | all | %s |\n",
              g_figures.bad_answered_4xx_json, g_figures.bad_sent,
              met(g_figures.bad_sent > 0 && g_figures.bad_answered_4xx_json == g_figures.bad_sent));
  std::printf("| good requests among them answered | %zu of %zu | | | all | %s |\n", g_figures.good_ok,
              g_figures.good_sent, met(g_figures.good_sent > 0 && g_figures.good_ok == g_figures.good_sent));
  // Flat: the third flood adds (almost) nothing to the second, and the two
  // floods after the warm-up together stay under 8 MiB. Private memory: the
  // file pages of the index SQLite maps are the page cache's, shared and
  // dropped under pressure (each pooled reader maps the file anew).
  const long third_kb = g_figures.private_third_kb - g_figures.private_second_kb;
  const long total_kb = g_figures.private_third_kb - g_figures.private_warm_kb;
  std::printf("| server private memory after floods 1 (warm-up), 2, 3 | %.1f, %.1f, %.1f MiB | | | | |\n",
              g_figures.private_warm_kb / 1024.0, g_figures.private_second_kb / 1024.0,
              g_figures.private_third_kb / 1024.0);
  std::printf("| private memory growth: flood 3; floods 2 and 3 | %+.1f MiB; %+.1f MiB | | | < 1; < 8 MiB | %s |\n",
              third_kb / 1024.0, total_kb / 1024.0,
              met(g_figures.private_warm_kb > 0 && third_kb < 1024 && total_kb < 8 * 1024));
}

}  // namespace

// The machine's load average over the last minute: other processes' share
// of the cores moves every figure here.
std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  in >> one;
  return one;
}

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  index_path();
  const std::string load_before = load_average();
  benchmark::RunSpecifiedBenchmarks();
  print_summary();
  std::printf("| load average (1 min) before / after the run | %s / %s | | | | |\n", load_before.c_str(),
              load_average().c_str());
  benchmark::Shutdown();
  return 0;
}
