// Indexing throughput and the work of a cold `ask`, on documents shaped like
// real manuals: reStructuredText and Markdown pages with titles, sections,
// literal blocks and prose drawn from a fixed vocabulary.
//
// - index: 2 MB of such pages through the Indexer (structure-aware chunking,
//   page summaries, hashing embeddings, the store's full-text terms), into a
//   fresh store each repetition; bytes per second of CPU time. Baseline:
//   the same pages through the chunker alone.
// - index_small_files: hundreds of 1-2 KB sections, one file each (a manual
//   cut into its numbered sections), through the Indexer: what a fixed cost
//   per file weighs. Baseline: the same files through the chunker alone.
// - ask_cold: what `vorn-rag ask` does after the process starts, on a
//   5,000-chunk index: open the store read-only, hybrid top-5, extractive
//   answer. Baseline: opening the same file with SQLite and counting its rows.
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "harness.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_generation/extractive_answerer.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"
#include "vorn_retrieval/indexer.hpp"

namespace vorn_bench {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kIndexBytes = 2'000'000;
constexpr std::size_t kAskChunks = 5'000;

const char* const kWords[] = {
    "the",      "a",        "of",      "to",       "and",     "is",      "in",        "for",     "with",   "that",
    "table",    "index",    "query",   "server",   "file",    "copy",    "directory", "option",  "value",  "row",
    "column",   "function", "return",  "argument", "default", "string",  "number",    "list",    "object", "module",
    "transaction", "lock",  "backup",  "restore",  "connection", "timeout", "parameter", "setting", "memory", "disk",
    "process",  "thread",   "socket",  "archive",  "compress", "parse",  "format",    "encode",  "decode", "error"};

std::string page(std::mt19937& rng, std::size_t n, bool rst) {
  std::uniform_int_distribution<std::size_t> word(0, std::size(kWords) - 1);
  const auto sentence = [&] {
    std::string s;
    for (int i = 0; i < 14; ++i) s += std::string(i ? " " : "") + kWords[word(rng)];
    s[0] = static_cast<char>(s[0] - 32);
    return s + ". ";
  };
  std::string title = "Page " + std::to_string(n) + " " + kWords[word(rng)];
  std::string out = rst ? title + "\n" + std::string(title.size(), '=') + "\n\n" : "# " + title + "\n\n";
  for (int section = 0; section < 6; ++section) {
    std::string heading = std::string("About ") + kWords[word(rng)];
    out += rst ? heading + "\n" + std::string(heading.size(), '-') + "\n\n" : "## " + heading + "\n\n";
    for (int p = 0; p < 3; ++p) {
      for (int s = 0; s < 4; ++s) out += sentence();
      out += "\n\n";
    }
    out += rst ? "Example::\n\n    run(value, option=1)\n    print(value)\n\n"
               : "```\nrun(value, option=1)\nprint(value)\n```\n\n";
  }
  return out;
}

// Pages written once per process under a temporary directory.
struct Pages {
  fs::path dir = fs::temp_directory_path() / ("vorn_quality_bench_" + std::to_string(::getpid()));
  std::size_t bytes = 0;
  std::vector<std::pair<std::string, std::string>> texts;  // name, text

  Pages() {
    fs::remove_all(dir);
    fs::create_directories(dir / "docs");
    std::mt19937 rng(7);
    for (std::size_t n = 0; bytes < kIndexBytes; ++n) {
      const bool rst = n % 2 == 0;
      std::string name = "page" + std::to_string(n) + (rst ? ".rst.txt" : ".md");
      std::string text = page(rng, n, rst);
      std::ofstream(dir / "docs" / name) << text;
      bytes += text.size();
      texts.emplace_back(std::move(name), std::move(text));
    }
  }
  ~Pages() { fs::remove_all(dir); }
};

Pages& pages() {
  static Pages p;
  return p;
}

constexpr std::size_t kSmallFiles = 450;

// One numbered section of a manual: a heading, a paragraph or two, a short
// list or a shell example; 1 to 2 KB.
std::string section(std::mt19937& rng, std::size_t n) {
  std::uniform_int_distribution<std::size_t> word(0, std::size(kWords) - 1);
  std::uniform_int_distribution<int> count(2, 5);
  const auto sentence = [&] {
    std::string s;
    for (int i = 0; i < 12; ++i) s += std::string(i ? " " : "") + kWords[word(rng)];
    s[0] = static_cast<char>(s[0] - 32);
    return s + ". ";
  };
  std::string out = "## " + std::to_string(n / 40 + 1) + "." + std::to_string(n % 40 + 1) + " The " +
                    kWords[word(rng)] + " " + kWords[word(rng)] + "\n\n";
  for (int p = count(rng); p > 0; --p) {
    for (int s = 0; s < 3; ++s) out += sentence();
    out += "\n\n";
  }
  if (n % 3 == 0) {
    for (int i = 0; i < 4; ++i) out += std::string("  * ") + kWords[word(rng)] + ": " + sentence() + "\n";
    out += "\n";
  } else {
    out += "    $ sudo apt-get install " + std::string(kWords[word(rng)]) + "\n    $ " + kWords[word(rng)] +
           " --" + kWords[word(rng)] + "=1 /etc/" + kWords[word(rng)] + ".conf\n\n";
  }
  return out;
}

struct SmallFiles {
  fs::path dir = fs::temp_directory_path() / ("vorn_quality_small_" + std::to_string(::getpid()));
  std::size_t bytes = 0;
  std::vector<std::pair<std::string, std::string>> texts;  // name, text

  SmallFiles() {
    fs::remove_all(dir);
    fs::create_directories(dir / "sections");
    std::mt19937 rng(13);
    for (std::size_t n = 0; n < kSmallFiles; ++n) {
      const std::string name = "ch" + std::to_string(n / 40 + 1) + "_" + std::to_string(n % 40 + 1) + ".md";
      std::string text = section(rng, n);
      std::ofstream(dir / "sections" / name) << text;
      bytes += text.size();
      texts.emplace_back(name, std::move(text));
    }
  }
  ~SmallFiles() { fs::remove_all(dir); }
};

SmallFiles& small_files() {
  static SmallFiles f;
  return f;
}

std::shared_ptr<vorn_datastore::SqliteDataStore> open_store(const fs::path& path, bool read_only) {
  vorn_datastore::OpenOptions o;
  o.read_only = read_only;
  return vorn_datastore::SqliteDataStore::open(path, std::make_shared<vorn_inference::HashingEmbedder>(384), o);
}

void index_pages(benchmark::State& state) {
  Pages& p = pages();
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path db = p.dir / "index.db";
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db.string() + suffix);
    auto store = open_store(db, false);
    state.ResumeTiming();
    vorn_retrieval::Indexer indexer(store);
    benchmark::DoNotOptimize(vorn_core::run_sync(indexer.index({p.dir / "docs"})));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.bytes));
}

void index_small_files(benchmark::State& state) {
  SmallFiles& f = small_files();
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path db = f.dir / "index.db";
    for (const char* suffix : {"", "-wal", "-shm", "-vectors"}) fs::remove(db.string() + suffix);
    auto store = open_store(db, false);
    state.ResumeTiming();
    vorn_retrieval::Indexer indexer(store);
    benchmark::DoNotOptimize(vorn_core::run_sync(indexer.index({f.dir / "sections"})));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}

void chunk_small_files(benchmark::State& state) {
  SmallFiles& f = small_files();
  const vorn_retrieval::TextChunker chunker;
  for (auto _ : state) {
    for (const auto& [name, text] : f.texts) {
      const auto format = vorn_retrieval::detect_format(name, text);
      benchmark::DoNotOptimize(chunker.chunk(text, name, format));
      benchmark::DoNotOptimize(vorn_retrieval::summarize_document(text, format));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}

void chunk_pages(benchmark::State& state) {
  Pages& p = pages();
  const vorn_retrieval::TextChunker chunker;
  for (auto _ : state) {
    for (const auto& [name, text] : p.texts) {
      const auto format = vorn_retrieval::detect_format(name, text);
      benchmark::DoNotOptimize(chunker.chunk(text, name, format));
      benchmark::DoNotOptimize(vorn_retrieval::summarize_document(text, format));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.bytes));
}

}  // namespace

// An index of `chunks` chunks (10 per page), built once per size.
const fs::path& quality_ask_index(std::size_t chunks) {
  static std::map<std::size_t, fs::path> built;
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (auto it = built.find(chunks); it != built.end()) return it->second;
  const fs::path db = pages().dir / ("ask-" + std::to_string(chunks) + ".db");
  auto store = open_store(db, false);
  std::mt19937 rng(11);
  vorn_core::ChunkList batch;
  for (std::size_t i = 0; i < chunks; ++i) {
    vorn_core::Dict metadata;
    metadata.set("source", "docs/page" + std::to_string(i / 10) + ".md");
    metadata.set("title", "Page " + std::to_string(i / 10));
    batch.push_back(vorn_core::make_chunk("c" + std::to_string(i), page(rng, i, false).substr(0, 800), metadata));
    if (batch.size() == 500 || i + 1 == chunks) {
      vorn_core::run_sync(store->ingest(std::move(batch)));
      batch.clear();
    }
  }
  return built.emplace(chunks, db).first->second;
}

namespace {

const fs::path& ask_index() { return quality_ask_index(kAskChunks); }

void ask_cold(benchmark::State& state) {
  const fs::path& db = ask_index();
  vorn_generation::ExtractiveAnswerer answerer;
  for (auto _ : state) {
    auto store = open_store(db, true);
    vorn_retrieval::HybridRetriever retriever(store);
    vorn_retrieval::RetrieveOptions options;
    options.top_k = 5;
    const auto chunks = vorn_core::to_chunk_list(
        vorn_core::run_sync(retriever.retrieve(vorn_core::Value("How do I restore a backup archive?"), options)));
    benchmark::DoNotOptimize(answerer.answer("How do I restore a backup archive?", chunks));
  }
}

void open_and_count(benchmark::State& state) {
  const fs::path& db = ask_index();
  for (auto _ : state) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(raw, "SELECT count(*) FROM chunks", -1, &st, nullptr);
    sqlite3_step(st);
    benchmark::DoNotOptimize(sqlite3_column_int64(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(raw);
  }
}

const std::string kIndex = "quality/index_2MB/iterations:1/repeats:3";
const std::string kChunkOnly = "quality/chunk_only_2MB/repeats:3";
const std::string kSmall = "quality/index_small_files/iterations:3/repeats:3";
const std::string kSmallChunkOnly = "quality/chunk_only_small_files/repeats:3";
const std::string kAsk = "quality/ask_cold_5000_chunks/repeats:3";
const std::string kOpen = "quality/sqlite_open_count/repeats:3";

}  // namespace

void register_quality_benchmarks() {
  benchmark::RegisterBenchmark("quality/index_2MB", index_pages)->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond);
  benchmark::RegisterBenchmark("quality/chunk_only_2MB", chunk_pages)->Repetitions(3)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("quality/index_small_files", index_small_files)
      ->Iterations(3)
      ->Repetitions(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("quality/chunk_only_small_files", chunk_small_files)
      ->Repetitions(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("quality/ask_cold_5000_chunks", ask_cold)->Repetitions(3)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("quality/sqlite_open_count", open_and_count)->Repetitions(3)->Unit(benchmark::kMillisecond);
  figures().push_back(Figure{"indexing", [](const Results& r) -> std::vector<Row> {
                               const auto s = r.find(kIndex);
                               const auto b = r.find(kChunkOnly);
                               if (s == r.end() || b == r.end()) return {};
                               const double mb_per_s = static_cast<double>(pages().bytes) / 1e6 / (s->second.cpu_ns / 1e9);
                               const double chunk_mb_per_s = static_cast<double>(pages().bytes) / 1e6 /
                                                             (b->second.cpu_ns / 1e9);
                               char value[64];
                               char base[64];
                               std::snprintf(value, sizeof value, "%.2f MB/s", mb_per_s);
                               std::snprintf(base, sizeof base, "%.2f MB/s (chunking only)", chunk_mb_per_s);
                               return {Row{"Indexing 2 MB of RST/Markdown pages (CPU time)", value, base,
                                           format_ratio(s->second.cpu_ns / b->second.cpu_ns), ">= 2 MB/s",
                                           mb_per_s >= 2.0 ? "yes" : "no"}};
                             }});
  figures().push_back(Figure{"indexing small files", [](const Results& r) -> std::vector<Row> {
                               const auto s = r.find(kSmall);
                               const auto b = r.find(kSmallChunkOnly);
                               if (s == r.end() || b == r.end()) return {};
                               const double mb = static_cast<double>(small_files().bytes) / 1e6;
                               const double mb_per_s = mb / (s->second.cpu_ns / 1e9);
                               char value[64];
                               char base[64];
                               std::snprintf(value, sizeof value, "%.2f MB/s", mb_per_s);
                               std::snprintf(base, sizeof base, "%.2f MB/s (chunking only)", mb / (b->second.cpu_ns / 1e9));
                               return {Row{"Indexing 450 files of 1-2 KB (CPU time)", value, base,
                                           format_ratio(s->second.cpu_ns / b->second.cpu_ns), ">= 2 MB/s",
                                           mb_per_s >= 2.0 ? "yes" : "no"}};
                             }});
  figures().push_back(Figure{"ask cold", [](const Results& r) -> std::vector<Row> {
                               const auto s = r.find(kAsk);
                               const auto b = r.find(kOpen);
                               if (s == r.end() || b == r.end()) return {};
                               return {Row{"Cold ask after process start, 5,000 chunks (open, hybrid top-5, answer)",
                                           format_time(s->second.cpu_ns), format_time(b->second.cpu_ns),
                                           format_ratio(s->second.cpu_ns / b->second.cpu_ns), "<= 50 ms",
                                           s->second.cpu_ns <= 50e6 ? "yes" : "no"}};
                             }});
}

}  // namespace vorn_bench
