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
// - hybrid/warm_5000/retriever_reading_candidates: the retriever over the
//   same store seen through a wrapper that cannot say whether its rows
//   changed, so that every candidate's page and kind are read from the file
//   at every retrieval, as before they were remembered: the baseline of
//   hybrid/warm_5000/retriever for that change.
// - hybrid/warm_5000/naive_answer and naive_answer_reading_candidates: a
//   NaiveRAG run (hybrid top 5, extractive answer) on each of the two,
//   built once as a service builds it.
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
#include "vorn_generation/extractive_answerer.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"

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

// The store without a rows version: nothing about its rows may be
// remembered between retrievals.
class ForgetfulRows final : public vorn_datastore::RowSearch {
 public:
  explicit ForgetfulRows(vorn_datastore::RowSearch& inner) : inner_(inner) {}
  vorn_core::Task<std::vector<vorn_datastore::RowHit>> search_rows(vorn_datastore::CapabilityType type,
                                                                   vorn_datastore::SearchRequest request) override {
    return inner_.search_rows(type, std::move(request));
  }
  void visit_rows(std::span<const vorn_datastore::RowHit> hits,
                  const std::function<void(std::size_t, const vorn_datastore::StoredRowView&)>& visit) override {
    inner_.visit_rows(hits, visit);
  }
  vorn_core::ChunkList read_rows(std::span<const vorn_datastore::RowHit> hits) override {
    return inner_.read_rows(hits);
  }

 private:
  vorn_datastore::RowSearch& inner_;
};

class ForgetfulStore final : public vorn_datastore::BaseDataStore {
 public:
  explicit ForgetfulStore(std::shared_ptr<vorn_datastore::SqliteDataStore> inner)
      : inner_(std::move(inner)), rows_(*inner_->row_search()) {}
  vorn_datastore::CapabilitySet registered_capabilities() const override { return inner_->registered_capabilities(); }
  vorn_datastore::SearchCapability* capability(vorn_datastore::CapabilityType t) override {
    return inner_->capability(t);
  }
  vorn_datastore::PageSearch* page_search() override { return inner_->page_search(); }
  vorn_datastore::RowSearch* row_search() override { return &rows_; }
  std::string type_name() const override { return "ForgetfulStore"; }

 private:
  std::shared_ptr<vorn_datastore::SqliteDataStore> inner_;
  ForgetfulRows rows_;
};

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

void warm_retriever_reading_candidates(benchmark::State& state) {
  auto store = open_warm_store();
  vorn_retrieval::HybridRetriever remembering(store);
  vorn_retrieval::HybridRetriever retriever(std::make_shared<ForgetfulStore>(store));
  for (int pass = 0; pass < 2; ++pass) {  // the second pass recalls every candidate
    for (const char* q : kQuestions) check_same(retrieve(remembering, q), retrieve(retriever, q), q);
  }
  std::size_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(retrieve(retriever, kQuestions[n++ % std::size(kQuestions)]));
}

vorn_core::Task<void> naive_answer_loop(benchmark::State* state, vorn_datastore::DataStorePtr store) {
  auto strategy = std::make_shared<vorn_rag::strategies::NaiveRAG>(
      std::make_shared<vorn_retrieval::HybridRetriever>(std::move(store)),
      std::make_shared<vorn_generation::ExtractiveAnswerer>());
  strategy->build();
  for (const char* q : kQuestions) (void)co_await strategy->arun(q, static_cast<std::int64_t>(kTopK));
  std::size_t n = 0;
  for (auto _ : *state) {
    vorn_core::Dict result =
        co_await strategy->arun(kQuestions[n++ % std::size(kQuestions)], static_cast<std::int64_t>(kTopK));
    benchmark::DoNotOptimize(result);
  }
}

void warm_naive_answer(benchmark::State& state) { run_on_loop(naive_answer_loop(&state, open_warm_store())); }

void warm_naive_answer_reading_candidates(benchmark::State& state) {
  run_on_loop(naive_answer_loop(&state, std::make_shared<ForgetfulStore>(open_warm_store())));
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
  benchmark::RegisterBenchmark("hybrid/warm_5000/retriever_reading_candidates", warm_retriever_reading_candidates)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("hybrid/warm_5000/naive_answer", warm_naive_answer)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("hybrid/warm_5000/naive_answer_reading_candidates",
                               warm_naive_answer_reading_candidates)
      ->Unit(benchmark::kMicrosecond);
  add_ratio_figure("Hybrid top-5, warm, 5,000 chunks (candidates' page and kind remembered vs read each time)",
                   "hybrid/warm_5000/retriever", "hybrid/warm_5000/retriever_reading_candidates", 1.0);
  add_ratio_figure("NaiveRAG answer, hybrid top-5 + extractive, warm, 5,000 chunks (remembered vs read each time)",
                   "hybrid/warm_5000/naive_answer", "hybrid/warm_5000/naive_answer_reading_candidates", 1.0);
  add_ratio_figure("Hybrid top-5, warm, 5,000 chunks (candidates read whole only when returned)",
                   "hybrid/warm_5000/retriever", "hybrid/warm_5000/read_every_candidate", 1.0);
  add_ratio_figure("Hybrid top-5, warm, 5,000 chunks, against the full-text search alone",
                   "hybrid/warm_5000/retriever", "hybrid/warm_5000/bm25_only", 0.0);
}

}  // namespace vorn_bench
