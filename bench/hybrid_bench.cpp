// One warm hybrid top-5 retrieval over the 5,000-chunk index (an open store
// answering many questions, as a service does), against the path it
// replaced, measured in the same run:
//
// - hybrid/warm_5000/retriever: HybridRetriever::retrieve, top 5.
// - hybrid/warm_5000/read_every_candidate: the same ranking done the way the
//   retriever did it before, by hand: both searches return their 40
//   candidates as whole chunks (text and metadata read and converted), every
//   fused candidate is copied to set its score, and copied again by the kind
//   demotion. Before timing, the two are checked to return the same chunks,
//   scores and order for every question.
// - hybrid/warm_5000/bm25_only: the full-text search alone, top 5
//   (reference).
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "harness.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_retrieval/chunk_kind.hpp"
#include "vorn_retrieval/fusion.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"
#include "vorn_retrieval/page_diversity.hpp"
#include "vorn_retrieval/page_ranking.hpp"

namespace vorn_bench {
namespace {

const char* const kQuestions[] = {"How do I restore a backup archive?", "Which option sets the connection timeout?",
                                  "What does the parse function return?", "How is a row encoded to disk?",
                                  "Where are temporary files written?", "Can the server listen on two ports?"};
constexpr std::size_t kTopK = 5;

std::shared_ptr<vorn_datastore::SqliteDataStore> open_warm_store() {
  vorn_datastore::OpenOptions o;
  o.read_only = true;
  o.memory_text_index = true;  // as `vorn-rag serve` opens it
  return vorn_datastore::SqliteDataStore::open(quality_ask_index(5000),
                                               std::make_shared<vorn_inference::HashingEmbedder>(384), o);
}

// The retriever's ranking with every candidate read whole and copied twice.
vorn_core::ChunkList read_every_candidate(vorn_datastore::BaseDataStore& store, const std::string& query) {
  const vorn_retrieval::HybridOptions o;
  vorn_datastore::SearchRequest request;
  request.query = query;
  request.top_k = std::max<std::size_t>(20, kTopK * o.candidates_per_result);
  std::vector<vorn_core::ChunkList> lists;
  lists.push_back(vorn_core::run_sync(store.capability(vorn_datastore::CapabilityType::VECTOR)->search(request)));
  lists.push_back(vorn_core::run_sync(store.capability(vorn_datastore::CapabilityType::FULLTEXT)->search(request)));
  const double weights[] = {o.vector_weight, o.fulltext_weight};
  const auto fused = vorn_retrieval::weighted_reciprocal_rank_scored(lists, weights, o.rank_constant);
  const double best = (weights[0] + weights[1]) / (o.rank_constant + 1.0);
  vorn_core::ChunkList pooled;
  for (std::size_t i = 0; i < fused.chunks.size(); ++i) {
    auto hit = std::make_shared<vorn_core::Chunk>(*fused.chunks[i]);
    hit->score = fused.scores[i] / best;
    pooled.push_back(std::move(hit));
  }
  pooled = vorn_retrieval::demote_by_kind(pooled);
  pooled = vorn_core::run_sync(vorn_retrieval::rank_with_page_scores(store, query, std::move(pooled), o.page_weight));
  pooled = vorn_retrieval::diversify_by_page(pooled, o.per_page);
  if (pooled.size() > kTopK) pooled.resize(kTopK);
  return pooled;
}

vorn_core::ChunkList retrieve(vorn_retrieval::HybridRetriever& retriever, const char* query) {
  vorn_retrieval::RetrieveOptions options;
  options.top_k = kTopK;
  return vorn_core::to_chunk_list(vorn_core::run_sync(retriever.retrieve(vorn_core::Value(query), options)));
}

void check_same(const vorn_core::ChunkList& a, const vorn_core::ChunkList& b, const char* query) {
  bool same = a.size() == b.size();
  for (std::size_t i = 0; same && i < a.size(); ++i) {
    same = a[i]->id == b[i]->id && a[i]->content == b[i]->content && a[i]->score == b[i]->score &&
           a[i]->metadata == b[i]->metadata;
  }
  if (!same) throw std::logic_error(std::string("hybrid retrieval differs from the reference for: ") + query);
}

void warm_retriever(benchmark::State& state) {
  auto store = open_warm_store();
  vorn_retrieval::HybridRetriever retriever(store);
  for (const char* q : kQuestions) check_same(retrieve(retriever, q), read_every_candidate(*store, q), q);
  std::size_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(retrieve(retriever, kQuestions[n++ % std::size(kQuestions)]));
}

void warm_read_every_candidate(benchmark::State& state) {
  auto store = open_warm_store();
  for (const char* q : kQuestions) (void)read_every_candidate(*store, q);
  std::size_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(read_every_candidate(*store, kQuestions[n++ % std::size(kQuestions)]));
  }
}

void warm_bm25_only(benchmark::State& state) {
  auto store = open_warm_store();
  store->chunk_store().warm_up();
  std::size_t n = 0;
  for (auto _ : state) {
    vorn_datastore::SearchRequest request;
    request.query = kQuestions[n++ % std::size(kQuestions)];
    request.top_k = kTopK;
    benchmark::DoNotOptimize(
        vorn_core::run_sync(store->capability(vorn_datastore::CapabilityType::FULLTEXT)->search(request)));
  }
}

}  // namespace

void register_hybrid_benchmarks() {
  benchmark::RegisterBenchmark("hybrid/warm_5000/retriever", warm_retriever)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("hybrid/warm_5000/read_every_candidate", warm_read_every_candidate)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("hybrid/warm_5000/bm25_only", warm_bm25_only)->Unit(benchmark::kMicrosecond);
  add_ratio_figure("Hybrid top-5, warm, 5,000 chunks (candidates read whole only when returned)",
                   "hybrid/warm_5000/retriever", "hybrid/warm_5000/read_every_candidate", 1.0);
  add_ratio_figure("Hybrid top-5, warm, 5,000 chunks, against the full-text search alone",
                   "hybrid/warm_5000/retriever", "hybrid/warm_5000/bm25_only", 0.0);
}

}  // namespace vorn_bench
