#include "vorn_retrieval/hybrid_retriever.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>

#include "candidate_memory.hpp"
#include "vorn_core/error.hpp"
#include "vorn_retrieval/chunk_kind.hpp"
#include "vorn_retrieval/page_diversity.hpp"
#include "vorn_retrieval/page_ranking.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/fusion.hpp"

namespace vorn_retrieval {
namespace {

constexpr std::size_t kMinCandidates = 20;

bool valid_weight(double w) { return std::isfinite(w) && w >= 0.0; }

// What the ranking needs of a candidate row, seen in place: its page (as
// page_of gives it) and, when kinds are demoted, its kind.
CandidateFacts facts_of(const vorn_datastore::StoredRowView& row, bool with_kind) {
  CandidateFacts f;
  f.id = row.id();
  const std::optional<std::string_view> source = row.metadata_string("source");
  f.page = source ? std::string(*source) : f.id.substr(0, f.id.find('#'));
  if (with_kind) {
    f.kind = classify_chunk(row.content(), row.metadata_string("heading").value_or(std::string_view()),
                            row.metadata_string("title").value_or(std::string_view()));
  }
  return f;
}

// The facts of every candidate still stored, by row: remembered ones, and
// the others read from the store (and remembered when the store can say
// its rows have not changed since).
std::unordered_map<std::int64_t, CandidateFactsPtr> candidate_facts(vorn_datastore::RowSearch& rows,
                                                                    std::span<const vorn_datastore::RowHit> fused,
                                                                    CandidateMemory& memory, bool with_kind) {
  std::unordered_map<std::int64_t, CandidateFactsPtr> out;
  out.reserve(fused.size());
  // Read before any row is: facts learned afterwards hold for this version.
  const std::optional<std::uint64_t> version = rows.rows_version();
  std::vector<CandidateFactsPtr> known = version ? memory.recall(*version, fused) : std::vector<CandidateFactsPtr>();
  std::vector<vorn_datastore::RowHit> unknown;
  for (std::size_t i = 0; i < fused.size(); ++i) {
    if (i < known.size() && known[i]) {
      out.emplace(fused[i].row, std::move(known[i]));
    } else {
      unknown.push_back(fused[i]);
    }
  }
  if (unknown.empty()) return out;
  std::vector<std::pair<std::int64_t, CandidateFactsPtr>> learned;
  learned.reserve(unknown.size());
  rows.visit_rows(unknown, [&](std::size_t i, const vorn_datastore::StoredRowView& row) {
    auto facts = std::make_shared<const CandidateFacts>(facts_of(row, with_kind));
    out.emplace(unknown[i].row, facts);
    learned.emplace_back(unknown[i].row, std::move(facts));
  });
  if (version) memory.remember(*version, learned);
  return out;
}

}  // namespace

HybridRetriever::HybridRetriever(vorn_datastore::DataStorePtr data_store, HybridOptions options)
    : data_store_(std::move(data_store)), options_(options), candidates_(std::make_shared<CandidateMemory>()) {
  (void)require_capability(data_store_, vorn_datastore::CapabilityType::VECTOR, "vector search");
  (void)require_capability(data_store_, vorn_datastore::CapabilityType::FULLTEXT, "full-text search");
  if (!valid_weight(options_.vector_weight) || !valid_weight(options_.fulltext_weight) ||
      options_.vector_weight + options_.fulltext_weight <= 0.0) {
    throw vorn_core::InvalidValueError("Invalid hybrid weights: `vector_weight` and `fulltext_weight` must be finite, "
                                "not negative, and not both 0. Fix them and retry.");
  }
  if (!std::isfinite(options_.rank_constant) || options_.rank_constant < 0.0) {
    throw vorn_core::InvalidValueError("Invalid `rank_constant`. Set it to 0 or more and retry.");
  }
  if (!valid_weight(options_.page_weight)) {
    throw vorn_core::InvalidValueError("Invalid `page_weight`. Set it to 0 or more and retry.");
  }
  if (options_.candidates_per_result == 0) {
    throw vorn_core::InvalidValueError("Invalid `candidates_per_result`. Set it to 1 or more and retry.");
  }
}

vorn_core::Task<vorn_core::ChunkList> HybridRetriever::retrieve_chunks(std::string query, RetrieveOptions options) {
  const std::size_t top_k = effective_top_k(options, kDefaultTopK);
  const std::size_t pool = std::max(kMinCandidates, top_k * options_.candidates_per_result);
  if (vorn_datastore::RowSearch* rows = data_store_->row_search()) {
    co_return co_await retrieve_rows(*rows, std::move(query), options, top_k, pool);
  }

  // The threshold applies to the fused score, not to either search's own.
  vorn_datastore::SearchRequest request;
  request.query = query;
  request.top_k = pool;
  request.query_filter = options.query_filter;
  std::vector<vorn_core::ChunkList> lists;
  lists.push_back(co_await data_store_->capability(vorn_datastore::CapabilityType::VECTOR)->search(request));
  lists.push_back(co_await data_store_->capability(vorn_datastore::CapabilityType::FULLTEXT)->search(request));

  std::array<double, 2> weights;  // assigned, not braced: g++ 12 miscompiles braced arrays in coroutines
  weights[0] = options_.vector_weight;
  weights[1] = options_.fulltext_weight;
  FusedRanking fused = weighted_reciprocal_rank_scored(lists, weights, options_.rank_constant);
  const double best = (weights[0] + weights[1]) / (options_.rank_constant + 1.0);

  vorn_core::ChunkList pooled;
  pooled.reserve(fused.chunks.size());
  for (std::size_t i = 0; i < fused.chunks.size(); ++i) {
    const double score = fused.scores[i] / best;
    if (options.threshold && score < *options.threshold) break;  // sorted: the rest score lower
    auto hit = std::make_shared<vorn_core::Chunk>(*fused.chunks[i]);
    hit->score = score;
    pooled.push_back(std::move(hit));
  }
  if (options_.demote_kinds) pooled = demote_by_kind(pooled);
  if (options_.page_weight > 0.0 && options_.per_page > 0 &&
                       vorn_datastore::parse_query_filter(options.query_filter).empty()) {
    pooled = co_await rank_with_page_scores(*data_store_, std::move(query), std::move(pooled), options_.page_weight);
  }
  pooled = diversify_by_page(pooled, options_.per_page);
  if (pooled.size() > top_k) pooled.resize(top_k);
  co_return pooled;
}

vorn_core::Task<vorn_core::ChunkList> HybridRetriever::retrieve_rows(vorn_datastore::RowSearch& rows,
                                                                     std::string query,
                                                                     const RetrieveOptions& options,
                                                                     std::size_t top_k, std::size_t pool) {
  using vorn_datastore::RowHit;
  vorn_datastore::SearchRequest request;
  request.query = query;
  request.top_k = pool;
  request.query_filter = options.query_filter;
  std::vector<std::vector<RowHit>> lists;
  lists.push_back(co_await rows.search_rows(vorn_datastore::CapabilityType::VECTOR, request));
  lists.push_back(co_await rows.search_rows(vorn_datastore::CapabilityType::FULLTEXT, request));

  std::array<double, 2> weights;  // assigned, not braced: g++ 12 miscompiles braced arrays in coroutines
  weights[0] = options_.vector_weight;
  weights[1] = options_.fulltext_weight;
  std::vector<RowHit> fused = weighted_reciprocal_rank_rows(lists, weights, options_.rank_constant);

  // Every candidate's page and kind; only the chunks returned are read whole.
  const std::unordered_map<std::int64_t, CandidateFactsPtr> candidates =
      candidate_facts(rows, fused, *candidates_, options_.demote_kinds);
  if (candidates.size() != fused.size()) {
    // Rows another process removed: searches that read their hits whole
    // would not have returned them, so they take no rank.
    for (auto& list : lists) std::erase_if(list, [&](const RowHit& h) { return !candidates.contains(h.row); });
    fused = weighted_reciprocal_rank_rows(lists, weights, options_.rank_constant);
  }

  // The ranking stages see placeholders that carry only a candidate's id,
  // page and score; the row each stands for is kept beside it.
  const double best = (weights[0] + weights[1]) / (options_.rank_constant + 1.0);
  vorn_core::ChunkList pooled;
  pooled.reserve(fused.size());
  std::vector<ChunkKind> kinds;
  kinds.reserve(fused.size());
  std::unordered_map<const vorn_core::Chunk*, std::int64_t> row_of;
  row_of.reserve(fused.size());
  for (const RowHit& hit : fused) {
    const double score = hit.score / best;
    if (options.threshold && score < *options.threshold) break;  // sorted: the rest score lower
    const CandidateFacts& c = *candidates.at(hit.row);
    vorn_core::Dict page;
    page.set("source", c.page);
    pooled.push_back(vorn_core::make_chunk(c.id, {}, std::move(page), score));
    kinds.push_back(c.kind);
    row_of.emplace(pooled.back().get(), hit.row);
  }
  if (options_.demote_kinds) demote_owned(pooled, kinds);
  if (options_.page_weight > 0.0 && options_.per_page > 0 &&
      vorn_datastore::parse_query_filter(options.query_filter).empty()) {
    pooled = co_await rank_with_page_scores(*data_store_, std::move(query), std::move(pooled), options_.page_weight);
  }
  pooled = diversify_by_page(pooled, options_.per_page);
  if (pooled.size() > top_k) pooled.resize(top_k);

  std::vector<RowHit> chosen;
  chosen.reserve(pooled.size());
  for (const auto& p : pooled) chosen.push_back({row_of.at(p.get()), p->score.value_or(0.0)});
  co_return rows.read_rows(chosen);
}

}  // namespace vorn_retrieval
