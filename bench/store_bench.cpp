// The persistent SQLite store at 100,000 chunks of 384 dimensions: ingest
// throughput, BM25 and exact vector top-10 latency, and hybrid top-10.
//
// The corpus is synthetic but shaped like prose: 50 to 100 words per chunk
// drawn from a Zipf law (s = 1) over 4,000 words, the 40 most frequent being
// English function words (about half of all tokens, as in real text), the
// rest pronounceable made-up words, shorter ones more frequent. Embeddings
// come from the library's HashingEmbedder, so vector and hybrid results are
// related to the text. Everything is generated from fixed seeds.
//
// Baselines, measured in the same run:
// - ingest: the same rows (id, text, embedding blob) inserted into a plain
//   SQLite table in one transaction, same pragmas, no FTS, no JSON;
// - BM25: the same OR-ed MATCH expression ranked by SQLite's built-in FTS5
//   bm25() on its own connection to the same file, same join for the text;
// - vector: one pass summing 100,000 x 384 floats in a contiguous buffer,
//   the memory traffic any exact search must pay;
// - hybrid: BM25 top-10 plus vector top-10 (no target).
//
// The searched store is built once per process, lazily, in a temporary
// directory removed at exit. Latencies are per query, in thread CPU time
// (the machine is shared), p50/p99 by nearest rank.
#include <sqlite3.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/analysis.hpp"
#include "vorn_core/text.hpp"
// The store's tokenizer, for the baseline's own connection.
#include "../src/vorn_datastore/sqlite/fts_tokenizer.hpp"
#include "vorn_core/value.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"

namespace vorn_bench {
namespace {

namespace fs = std::filesystem;
using vorn_datastore::SqliteChunkStore;
using vorn_datastore::SqliteDataStore;
using vorn_datastore::StoredChunk;
using vorn_core::Task;
using vorn_core::Value;

constexpr std::size_t kChunks = 100'000;
constexpr std::size_t kBatch = 1'000;
constexpr std::size_t kDimension = 384;
constexpr std::size_t kVocabulary = 4'000;
constexpr std::size_t kChunksPerDocument = 10;
constexpr std::size_t kQueries = 300;
constexpr std::size_t kTopK = 10;

// ---- deterministic generator ----------------------------------------------------

// splitmix64: the same stream on every platform, unlike the std distributions.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  std::size_t between(std::size_t lo, std::size_t hi) { return lo + below(hi - lo + 1); }
  double unit() { return static_cast<double>(next() >> 11U) * 0x1.0p-53; }

 private:
  std::uint64_t state_;
};

constexpr const char* kFunctionWords[] = {
    "the",  "of",   "and",  "to",   "a",     "in",   "is",    "that",  "for",  "it",
    "as",   "with", "was",  "on",   "be",    "by",   "this",  "are",   "or",   "from",
    "at",   "an",   "which", "not", "have",  "but",  "has",   "its",   "can",  "were",
    "all",  "their", "also", "more", "other", "been", "one",  "these", "when", "into"};
constexpr std::size_t kFunctionWordCount = std::size(kFunctionWords);

std::vector<std::string> make_vocabulary() {
  static constexpr const char* kOnsets[] = {"b", "c", "d", "f", "g", "l", "m", "n", "p", "r", "s",
                                            "t", "v", "br", "cl", "st", "tr", "pl", "gr", "sh", "th", "k"};
  static constexpr const char* kVowels[] = {"a", "e", "i", "o", "u", "ea", "io", "ou", "ai"};
  static constexpr const char* kCodas[] = {"", "", "", "n", "r", "s", "l", "m", "t", "nd", "st", "x"};
  static constexpr const char* kSuffixes[] = {"", "", "", "", "ing", "ed", "s", "ion", "er", "ly", "ment", "al"};
  Rng rng(0x766F726E2D766F63ULL);
  std::vector<std::string> words(std::begin(kFunctionWords), std::end(kFunctionWords));
  std::unordered_set<std::string> seen(words.begin(), words.end());
  std::vector<std::string> made;
  while (made.size() < kVocabulary - kFunctionWordCount) {
    std::string w;
    const std::size_t syllables = rng.between(1, 3);
    for (std::size_t s = 0; s < syllables; ++s) {
      w += kOnsets[rng.below(std::size(kOnsets))];
      w += kVowels[rng.below(std::size(kVowels))];
      w += kCodas[rng.below(std::size(kCodas))];
    }
    w += kSuffixes[rng.below(std::size(kSuffixes))];
    if (w.size() < 3 || vorn_core::is_stop_word(w) || !seen.insert(w).second) continue;
    made.push_back(std::move(w));
  }
  // Frequent words are short in real text.
  std::stable_sort(made.begin(), made.end(), [](const std::string& a, const std::string& b) {
    return a.size() < b.size();
  });
  words.insert(words.end(), made.begin(), made.end());
  return words;
}

// Ranks drawn with probability proportional to 1 / (rank + 1), over [first, size).
class Zipf {
 public:
  Zipf(std::size_t first, std::size_t size) : first_(first) {
    double total = 0.0;
    for (std::size_t r = first; r < size; ++r) {
      total += 1.0 / static_cast<double>(r + 1);
      cdf_.push_back(total);
    }
    for (double& c : cdf_) c /= total;
  }
  std::size_t operator()(Rng& rng) const {
    const auto it = std::lower_bound(cdf_.begin(), cdf_.end(), rng.unit());
    return first_ + std::min<std::size_t>(static_cast<std::size_t>(it - cdf_.begin()), cdf_.size() - 1);
  }

 private:
  std::size_t first_;
  std::vector<double> cdf_;
};

std::string make_text(Rng& rng, const Zipf& zipf, const std::vector<std::string>& vocabulary) {
  const std::size_t words = rng.between(50, 100);
  std::string text;
  std::size_t sentence_left = 0;
  for (std::size_t i = 0; i < words; ++i) {
    const bool starts_sentence = sentence_left == 0;
    if (starts_sentence) sentence_left = rng.between(8, 20);
    std::string w = vocabulary[zipf(rng)];
    if (starts_sentence) w[0] = static_cast<char>(w[0] - 'a' + 'A');
    if (!text.empty()) text += ' ';
    text += w;
    if (--sentence_left == 0 || i + 1 == words) {
      text += '.';
      sentence_left = 0;
    }
  }
  return text;
}

// Two to four words: half drawn with the corpus frequencies of content words,
// half uniformly from them (rarer, more specific words); a quarter of the
// queries also carry a function word, as typed questions do.
std::string make_query(Rng& rng, const Zipf& content_zipf, const std::vector<std::string>& vocabulary) {
  const std::size_t words = rng.between(2, 4);
  std::string q;
  if (rng.below(4) == 0) q = kFunctionWords[rng.below(kFunctionWordCount)];
  for (std::size_t i = 0; i < words; ++i) {
    const std::size_t rank = rng.below(2) == 0 ? content_zipf(rng)
                                               : kFunctionWordCount + rng.below(vocabulary.size() - kFunctionWordCount);
    if (!q.empty()) q += ' ';
    q += vocabulary[rank];
  }
  return q;
}

struct Corpus {
  std::vector<std::vector<StoredChunk>> batches;  // kChunks / kBatch batches of kBatch chunks
  std::vector<std::string> queries;
  std::vector<std::vector<float>> query_vectors;
  // Earlier traffic from the same distribution, run once before any timing.
  std::vector<std::string> warmup_queries;
};

const Corpus& corpus() {
  static const Corpus built = [] {
    Corpus c;
    const std::vector<std::string> vocabulary = make_vocabulary();
    const Zipf all(0, vocabulary.size());
    const Zipf content(kFunctionWordCount, vocabulary.size());
    const vorn_inference::HashingEmbedder embedder(kDimension);
    Rng rng(0x766F726E2D747874ULL);
    c.batches.resize(kChunks / kBatch);
    for (std::size_t i = 0; i < kChunks; ++i) {
      StoredChunk chunk;
      char id[32];
      std::snprintf(id, sizeof id, "doc-%05zu#%zu", i / kChunksPerDocument, i % kChunksPerDocument);
      chunk.id = id;
      chunk.content = make_text(rng, all, vocabulary);
      chunk.metadata = {{"document", std::string(id, 9)}, {"chunk_index", i % kChunksPerDocument}};
      chunk.embedding.resize(kDimension);
      embedder.embed_into(chunk.content, chunk.embedding);
      c.batches[i / kBatch].push_back(std::move(chunk));
    }
    Rng query_rng(0x766F726E2D717279ULL);
    for (std::size_t i = 0; i < kQueries; ++i) {
      c.queries.push_back(make_query(query_rng, content, vocabulary));
      c.query_vectors.push_back(embedder.embed_text(c.queries.back()));
    }
    Rng warmup_rng(0x766F726E2D776D70ULL);
    for (std::size_t i = 0; i < kQueries; ++i) c.warmup_queries.push_back(make_query(warmup_rng, content, vocabulary));
    return c;
  }();
  return built;
}

// ---- stores on disk -------------------------------------------------------------

// A fresh directory under the system temporary directory, removed with the object.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name) {
    std::string pattern = (fs::temp_directory_path() / ("vorn_store_bench_" + name + "_XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a directory under " + pattern);
    path_ = pattern;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const noexcept { return path_; }

 private:
  fs::path path_;
};

// The searched store, built on first use and kept until exit.
struct SearchFixture {
  ScratchDir dir{"search"};  // first, so it is removed after the store has closed its file
  std::shared_ptr<vorn_inference::HashingEmbedder> embedder = std::make_shared<vorn_inference::HashingEmbedder>(kDimension);
  std::shared_ptr<SqliteDataStore> store;

  SearchFixture() {
    SqliteChunkStore chunks = SqliteChunkStore::open(dir.path() / "store.db");
    for (const auto& batch : corpus().batches) chunks.add_batch(batch);
    store = std::make_shared<SqliteDataStore>(std::move(chunks), embedder);
    // A running service has seen queries before: the page cache and the
    // store's cache of term document frequencies are warm, but not with the
    // measured queries themselves.
    for (const auto& q : corpus().warmup_queries) benchmark::DoNotOptimize(this->chunks().search_bm25(q, kTopK));
  }

  const SqliteChunkStore& chunks() const { return store->chunk_store(); }
};

SearchFixture& fixture() {
  static SearchFixture f;
  return f;
}

struct DbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

Db open_db(const fs::path& path, int flags) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.string().c_str(), &raw, flags, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + path.string());
  return db;
}

void exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
}

Stmt prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
  return Stmt(raw);
}

// ---- latencies ------------------------------------------------------------------

double thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Per-query times, reported as counters p50_ms and p99_ms (nearest rank).
class Latencies {
 public:
  void add(double ns) { ns_.push_back(ns); }
  void report(benchmark::State& state) {
    if (ns_.empty()) return;
    std::sort(ns_.begin(), ns_.end());
    const auto rank = [&](double p) {
      const auto r = static_cast<std::size_t>(std::ceil(p * static_cast<double>(ns_.size())));
      return ns_[std::clamp<std::size_t>(r, 1, ns_.size()) - 1];
    };
    state.counters["p50_ms"] = rank(0.50) / 1e6;
    state.counters["p99_ms"] = rank(0.99) / 1e6;
  }

 private:
  std::vector<double> ns_;
};

// Times one query per iteration, cycling through the query set; registered
// with kQueries iterations, so every query counts once per repetition.
template <class Search>
void per_query_loop(benchmark::State& state, Search search) {
  Latencies latencies;
  std::size_t i = 0;
  for (auto _ : state) {
    const double start = thread_cpu_ns();
    auto hits = search(i);
    latencies.add(thread_cpu_ns() - start);
    benchmark::DoNotOptimize(hits);
    i = (i + 1) % kQueries;
  }
  latencies.report(state);
}

// ---- ingest ---------------------------------------------------------------------

void ingest_store(benchmark::State& state) {
  const Corpus& c = corpus();
  ScratchDir dir("ingest");
  for (auto _ : state) {
    // Open and close are inside: closing checkpoints what is left of the WAL.
    SqliteChunkStore store = SqliteChunkStore::open(dir.path() / "store.db");
    for (const auto& batch : c.batches) benchmark::DoNotOptimize(store.add_batch(batch));
  }
  state.counters["chunks_per_s"] = benchmark::Counter(static_cast<double>(kChunks * state.iterations()),
                                                      benchmark::Counter::kIsRate);
}

// The same rows with the store's pragmas, as one prepared INSERT in one
// transaction into a table with no other index: what SQLite itself costs.
void ingest_plain_table(benchmark::State& state) {
  const Corpus& c = corpus();
  ScratchDir dir("plain");
  for (auto _ : state) {
    Db db = open_db(dir.path() / "plain.db", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    exec(db.get(), "PRAGMA journal_mode=WAL");
    exec(db.get(), "PRAGMA synchronous=NORMAL");
    exec(db.get(), "PRAGMA cache_size=-32768");
    exec(db.get(),
         "CREATE TABLE plain(seq INTEGER PRIMARY KEY, id TEXT NOT NULL, content TEXT NOT NULL, embedding BLOB NOT NULL)");
    exec(db.get(), "BEGIN");
    {
      Stmt insert = prepare(db.get(), "INSERT INTO plain(id, content, embedding) VALUES (?1, ?2, ?3)");
      for (const auto& batch : c.batches) {
        for (const StoredChunk& chunk : batch) {
          sqlite3_bind_text64(insert.get(), 1, chunk.id.data(), chunk.id.size(), SQLITE_STATIC, SQLITE_UTF8);
          sqlite3_bind_text64(insert.get(), 2, chunk.content.data(), chunk.content.size(), SQLITE_STATIC, SQLITE_UTF8);
          sqlite3_bind_blob64(insert.get(), 3, chunk.embedding.data(), chunk.embedding.size() * sizeof(float),
                              SQLITE_STATIC);
          if (sqlite3_step(insert.get()) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db.get()));
          sqlite3_reset(insert.get());
        }
      }
    }
    exec(db.get(), "COMMIT");
  }
  state.counters["chunks_per_s"] = benchmark::Counter(static_cast<double>(kChunks * state.iterations()),
                                                      benchmark::Counter::kIsRate);
}

// ---- BM25 -----------------------------------------------------------------------

void bm25_store(benchmark::State& state) {
  const SqliteChunkStore& store = fixture().chunks();
  const auto& queries = corpus().queries;
  per_query_loop(state, [&](std::size_t i) { return store.search_bm25(queries[i], kTopK); });
}

// The same file opened a second time with the in-memory text index, which
// the first search reads (timed: what a server pays once per opening).
struct MemoryIndexFixture {
  SqliteChunkStore store;
  double load_cpu_ns = 0;
  MemoryIndexFixture()
      : store(SqliteChunkStore::open(fixture().chunks().path(), {.read_only = true, .memory_text_index = true})) {
    const double start = thread_cpu_ns();
    benchmark::DoNotOptimize(store.search_bm25(corpus().warmup_queries.front(), kTopK));
    load_cpu_ns = thread_cpu_ns() - start;
    for (const auto& q : corpus().warmup_queries) benchmark::DoNotOptimize(store.search_bm25(q, kTopK));
  }
};

void bm25_memory(benchmark::State& state) {
  static MemoryIndexFixture memory;
  const auto& queries = corpus().queries;
  per_query_loop(state, [&](std::size_t i) { return memory.store.search_bm25(queries[i], kTopK); });
  state.counters["load_ms"] = memory.load_cpu_ns / 1e6;
}

// The MATCH expression the store builds before it sets aside terms found in
// half the chunks or more: content words (function words only when nothing
// else is left), each quoted, OR-ed.
// The store's own search terms (stems, code tokens), so both sides look up
// the same index entries.
std::string match_expression(const std::string& query) {
  const std::vector<std::string> words = vorn_core::search_terms(query);
  std::unordered_set<std::string> seen;
  std::string expr;
  for (const std::string& w : words) {
    if (!seen.insert(w).second) continue;
    if (!expr.empty()) expr += " OR ";
    expr += '"' + w + '"';
  }
  return expr;
}

struct Fts5Hit {
  std::string id;
  std::string content;
  std::string metadata;
  double score;
};

void bm25_fts5_builtin(benchmark::State& state) {
  const fs::path path = fixture().chunks().path();
  std::vector<std::string> matches;
  for (const auto& q : corpus().queries) matches.push_back(match_expression(q));
  Db db = open_db(path, SQLITE_OPEN_READONLY);
  // The index was built with the store's tokenizer; SQLite must know it to
  // open the table at all.
  {
    fts5_api* api = nullptr;
    Stmt get = prepare(db.get(), "SELECT fts5(?1)");
    sqlite3_bind_pointer(get.get(), 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    sqlite3_step(get.get());
    if (api == nullptr) throw std::runtime_error("no FTS5 in this SQLite");
    vorn_datastore::sqlite::register_tokenizer(api);
  }
  Stmt st = prepare(db.get(),
                    "SELECT c.id, c.content, c.metadata, r.score FROM "
                    "(SELECT rowid AS seq, bm25(chunks_fts) AS score FROM chunks_fts WHERE chunks_fts MATCH ?1 "
                    " ORDER BY score, rowid LIMIT ?2) AS r "
                    "JOIN chunks AS c ON c.seq = r.seq ORDER BY r.score, r.seq");
  const auto search = [&](const std::string& match) {
    sqlite3_bind_text64(st.get(), 1, match.data(), match.size(), SQLITE_STATIC, SQLITE_UTF8);
    sqlite3_bind_int64(st.get(), 2, static_cast<sqlite3_int64>(kTopK));
    std::vector<Fts5Hit> hits;
    while (sqlite3_step(st.get()) == SQLITE_ROW) {
      const auto text = [&](int col) {
        return std::string(reinterpret_cast<const char*>(sqlite3_column_text(st.get(), col)),
                           static_cast<std::size_t>(sqlite3_column_bytes(st.get(), col)));
      };
      hits.push_back({text(0), text(1), text(2), -sqlite3_column_double(st.get(), 3)});
    }
    sqlite3_reset(st.get());
    return hits;
  };
  // The connection's own page cache starts empty; the store's pooled
  // connections have been used before.
  for (std::size_t i = 0; i < 30; ++i) benchmark::DoNotOptimize(search(match_expression(corpus().warmup_queries[i])));
  per_query_loop(state, [&](std::size_t i) { return search(matches[i]); });
}

// ---- vector ---------------------------------------------------------------------

void vector_store(benchmark::State& state) {
  const SqliteChunkStore& store = fixture().chunks();
  const auto& vectors = corpus().query_vectors;
  benchmark::DoNotOptimize(store.search_vector(vectors[0], kTopK));
  per_query_loop(state, [&](std::size_t i) { return store.search_vector(vectors[i], kTopK); });
}

// Four packed SSE accumulators (GCC vector extensions, so the loop is packed
// whatever the vectoriser decides): as fast as one read of the buffer gets
// without wider instructions, which the library is not built for either.
using Float4 = float __attribute__((vector_size(16)));

__attribute__((noinline)) float stream_sum(const float* p, std::size_t n) {
  const auto load = [](const float* at) {
    Float4 v;
    std::memcpy(&v, at, sizeof v);
    return v;
  };
  Float4 s0 = {};
  Float4 s1 = {};
  Float4 s2 = {};
  Float4 s3 = {};
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    s0 += load(p + i);
    s1 += load(p + i + 4);
    s2 += load(p + i + 8);
    s3 += load(p + i + 12);
  }
  float total = 0.0F;
  for (; i < n; ++i) total += p[i];
  const Float4 s = (s0 + s1) + (s2 + s3);
  return total + (s[0] + s[1]) + (s[2] + s[3]);
}

void stream_floats(benchmark::State& state) {
  std::vector<float> matrix;
  matrix.reserve(kChunks * kDimension);
  for (const auto& batch : corpus().batches) {
    for (const StoredChunk& chunk : batch) matrix.insert(matrix.end(), chunk.embedding.begin(), chunk.embedding.end());
  }
  for (auto _ : state) benchmark::DoNotOptimize(stream_sum(matrix.data(), matrix.size()));
}

// ---- hybrid ---------------------------------------------------------------------

Task<void> hybrid_loop(benchmark::State* state, vorn_retrieval::HybridRetriever* retriever) {
  const auto& queries = corpus().queries;
  vorn_retrieval::RetrieveOptions options;
  options.top_k = static_cast<std::int64_t>(kTopK);
  Value warm = co_await retriever->retrieve(Value(queries[0]), options);
  benchmark::DoNotOptimize(warm);
  Latencies latencies;
  std::size_t i = 0;
  for (auto _ : *state) {
    const double start = thread_cpu_ns();
    Value hits = co_await retriever->retrieve(Value(queries[i]), options);
    latencies.add(thread_cpu_ns() - start);
    benchmark::DoNotOptimize(hits);
    i = (i + 1) % kQueries;
  }
  latencies.report(*state);
}

void hybrid_store(benchmark::State& state) {
  vorn_retrieval::HybridRetriever retriever(fixture().store);
  run_on_loop(hybrid_loop(&state, &retriever));
}

// ---- figures --------------------------------------------------------------------

// Google Benchmark appends the fixed iteration and repetition counts to the names.
const std::string kIngest = "store/ingest/iterations:1/repeats:3";
const std::string kIngestPlain = "store/ingest_plain_table/iterations:1/repeats:3";
const std::string kPerQuery = "/iterations:" + std::to_string(kQueries);
const std::string kBm25 = "store/bm25_top10" + kPerQuery;
const std::string kBm25Builtin = "store/bm25_fts5_builtin_top10" + kPerQuery;
const std::string kBm25Memory = "store/bm25_memory_top10" + kPerQuery;
const std::string kVector = "store/vector_top10" + kPerQuery;
const std::string kStream = "store/stream_floats";
const std::string kHybrid = "store/hybrid_top10" + kPerQuery;

const Measurement* find(const Results& results, const std::string& name) {
  const auto it = results.find(name);
  return it == results.end() ? nullptr : &it->second;
}

std::string per_second(double ns) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.0f chunks/s (%s)", static_cast<double>(kChunks) / (ns / 1e9),
                format_time(ns).c_str());
  return buf;
}

void add_store_figures() {
  figures().push_back(Figure{"ingest", [](const Results& r) -> std::vector<Row> {
                               const Measurement* s = find(r, kIngest);
                               const Measurement* b = find(r, kIngestPlain);
                               if (!s || !b) return {};
                               // Wall time too: waiting for the disk is part of ingesting.
                               return {Row{"Store ingest, 100,000 chunks x 384 dims in batches of 1,000",
                                           per_second(s->cpu_ns), per_second(b->cpu_ns),
                                           format_ratio(s->cpu_ns / b->cpu_ns), "—", "—"},
                                       Row{"Store ingest, as above, wall time", per_second(s->real_ns),
                                           per_second(b->real_ns), format_ratio(s->real_ns / b->real_ns), "—", "—"}};
                             }});
  figures().push_back(Figure{"bm25", [](const Results& r) -> std::vector<Row> {
                               const Measurement* s = find(r, kBm25);
                               const Measurement* b = find(r, kBm25Builtin);
                               if (!s || !b) return {};
                               const double p50 = s->counters.at("p50_ms") * 1e6;
                               const double b50 = b->counters.at("p50_ms") * 1e6;
                               const double p99 = s->counters.at("p99_ms") * 1e6;
                               const double b99 = b->counters.at("p99_ms") * 1e6;
                               return {Row{"BM25 top-10, 100,000 chunks, p50 of 300 queries", format_time(p50),
                                           format_time(b50), format_ratio(p50 / b50), "p50 < 5 ms",
                                           p50 < 5e6 ? "yes" : "no"},
                                       Row{"BM25 top-10, 100,000 chunks, p99 of 300 queries", format_time(p99),
                                           format_time(b99), format_ratio(p99 / b99), "—", "—"}};
                             }});
  figures().push_back(Figure{"bm25_memory", [](const Results& r) -> std::vector<Row> {
                               const Measurement* m = find(r, kBm25Memory);
                               const Measurement* s = find(r, kBm25);
                               if (!m || !s) return {};
                               const double p50 = m->counters.at("p50_ms") * 1e6;
                               const double s50 = s->counters.at("p50_ms") * 1e6;
                               const double p99 = m->counters.at("p99_ms") * 1e6;
                               const double s99 = s->counters.at("p99_ms") * 1e6;
                               return {Row{"BM25 top-10 from the in-memory text index, p50 (same hits and scores)",
                                           format_time(p50), format_time(s50) + " (store, FTS5)",
                                           format_ratio(p50 / s50), "<= 0.50x", p50 <= 0.5 * s50 ? "yes" : "no"},
                                       Row{"BM25 top-10 from the in-memory text index, p99", format_time(p99),
                                           format_time(s99) + " (store, FTS5)", format_ratio(p99 / s99), "<= 0.50x",
                                           p99 <= 0.5 * s99 ? "yes" : "no"},
                                       Row{"Reading the in-memory text index at the first search (CPU)",
                                           format_time(m->counters.at("load_ms") * 1e6), "", "", "—", "—"}};
                             }});
  add_ratio_figure("Exact vector top-10, 100,000 x 384 (mean of 300 queries)", kVector, kStream, 2.0);
  figures().push_back(Figure{"hybrid", [](const Results& r) -> std::vector<Row> {
                               const Measurement* h = find(r, kHybrid);
                               const Measurement* t = find(r, kBm25);
                               const Measurement* v = find(r, kVector);
                               if (!h || !t || !v) return {};
                               const double reference = t->cpu_ns + v->cpu_ns;
                               return {Row{"Hybrid top-10 (HybridRetriever, mean of 300 queries)",
                                           format_time(h->cpu_ns) + " (p50 " +
                                               format_time(h->counters.at("p50_ms") * 1e6) + ", p99 " +
                                               format_time(h->counters.at("p99_ms") * 1e6) + ")",
                                           format_time(reference) + " (BM25 " + format_time(t->cpu_ns) +
                                               " + vector " + format_time(v->cpu_ns) + ")",
                                           format_ratio(h->cpu_ns / reference), "—", "—"}};
                             }});
}

}  // namespace

void register_store_benchmarks() {
  benchmark::RegisterBenchmark("store/ingest", ingest_store)->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond);
  benchmark::RegisterBenchmark("store/ingest_plain_table", ingest_plain_table)
      ->Iterations(1)
      ->Repetitions(3)
      ->Unit(benchmark::kSecond);
  const auto per_query = static_cast<benchmark::IterationCount>(kQueries);
  benchmark::RegisterBenchmark("store/bm25_top10", bm25_store)->Iterations(per_query)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("store/bm25_fts5_builtin_top10", bm25_fts5_builtin)
      ->Iterations(per_query)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("store/bm25_memory_top10", bm25_memory)->Iterations(per_query)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("store/vector_top10", vector_store)->Iterations(per_query)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("store/stream_floats", stream_floats)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("store/hybrid_top10", hybrid_store)->Iterations(per_query)->Unit(benchmark::kMillisecond);
  add_store_figures();
}

}  // namespace vorn_bench
