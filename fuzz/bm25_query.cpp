// BM25 search with arbitrary query text on a small store: FTS5 syntax,
// quotes, column filters, NUL bytes and invalid UTF-8 are all plain words to
// it. A search answers at most top_k hits with positive scores, each a
// stored chunk, and refuses nothing but a filter key it cannot express.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "value_from_bytes.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"

namespace {

namespace fs = std::filesystem;
using vorn_datastore::SqliteChunkStore;
using vorn_datastore::StoredChunk;

// Removed at exit, after the store (statics go in reverse order).
struct ScratchDir {
  fs::path path = fs::temp_directory_path() / ("vorn_fuzz_bm25_" + std::to_string(::getpid()));
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

const SqliteChunkStore& store() {
  static const ScratchDir scratch;
  static const SqliteChunkStore s = [] {
    const fs::path dir = scratch.path;
    fs::remove_all(dir);
    fs::create_directories(dir);
    auto opened = SqliteChunkStore::open(dir / "store.db", {.dimension = 4});
    const char* texts[] = {
        "Reciprocal rank fusion adds 1 / (60 + rank) over the lists.",
        "The store keeps chunks in SQLite with an FTS5 index; BM25 ranks them.",
        "Crème brûlée: naïve café façade, Ünïcödé text folds its diacritics.",
        "\"quoted\" text AND OR NOT NEAR(a b) col:value * ^ - + ( )",
        "the and of to a in is it",
        "日本語のテキストと emoji 🎉 mixed with words",
    };
    std::vector<StoredChunk> batch;
    int i = 0;
    for (const char* t : texts) {
      batch.push_back(StoredChunk{"c" + std::to_string(i), t, {{"n", i}, {"kind", i % 2 ? "odd" : "even"}},
                                  {1.0F, static_cast<float>(i), 0.5F, 0.0F}});
      ++i;
    }
    opened.add_batch(batch);
    return opened;
  }();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorn_fuzz::ByteReader in(data, size);
  const std::uint8_t k = in.byte();
  const std::size_t top_k = k == 0xFF ? SIZE_MAX : k % 12;
  vorn_datastore::Filter filter;
  const std::uint8_t filter_kind = in.byte() % 4;
  if (filter_kind == 1) filter.emplace_back("kind", "odd");
  if (filter_kind == 2) filter.emplace_back(vorn_fuzz::text(in, 12), nlohmann::json(in.byte()));
  const std::string query = in.rest();
  // Keys go into a JSON path: a quote or a NUL byte cannot be expressed.
  const bool bad_key = filter_kind == 2 && (filter.front().first.find('"') != std::string::npos ||
                                            filter.front().first.find('\0') != std::string::npos);

  std::vector<vorn_datastore::SearchHit> hits;
  try {
    hits = store().search_bm25(query, top_k, filter);
  } catch (const vorn_datastore::StoreError& e) {
    if (!bad_key || e.code() != vorn_datastore::store_errc::kInput) throw;
    return 0;
  }
  // A query without words never reaches the filter: no hits, no refusal.
  if (bad_key && !hits.empty()) vorn_fuzz::violated("a filter key with a quote was taken");
  if (hits.size() > top_k || hits.size() > store().size()) vorn_fuzz::violated("more hits than asked for");
  for (const auto& hit : hits) {
    if (!(hit.score > 0) || !std::isfinite(hit.score)) vorn_fuzz::violated("a hit without a positive score");
    if (!store().contains(hit.id)) vorn_fuzz::violated("a hit that is not stored");
  }
  return 0;
}
