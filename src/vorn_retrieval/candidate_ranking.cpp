#include "vorn_retrieval/candidate_ranking.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <unordered_map>

#include "vorn_retrieval/lexical_scoring.hpp"

namespace vorn_retrieval {
namespace {

std::string page_of(const vorn_core::Chunk& chunk) {
  if (const vorn_core::Value* s = chunk.metadata.find("source"); s && s->is_string()) return s->as_string();
  return chunk.id.substr(0, chunk.id.find('#'));
}

}  // namespace

std::vector<RankedCandidate> rank_candidates(std::string_view query, const vorn_core::ChunkList& candidates,
                                             std::span<const double> prior, const CandidateRankingOptions& o) {
  const std::vector<LexicalScore> lexical = score_lexically(query, candidates);
  double best_bm25 = 0.0;
  for (const auto& s : lexical) best_bm25 = std::max(best_bm25, s.bm25);

  std::vector<double> own(candidates.size(), 0.0);
  std::vector<std::string> page(candidates.size());
  std::unordered_map<std::string, double> page_best;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (!candidates[i]) continue;
    const LexicalScore& s = lexical[i];
    own[i] = o.prior_weight * (i < prior.size() ? prior[i] : 0.0) +
             o.bm25_weight * (best_bm25 > 0.0 ? s.bm25 / best_bm25 : 0.0) + o.coverage_weight * s.coverage +
             o.page_weight * s.page + o.heading_weight * s.heading;
    page[i] = page_of(*candidates[i]);
    double& best = page_best[page[i]];
    best = std::max(best, own[i]);
  }
  std::vector<RankedCandidate> ranked;
  ranked.reserve(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (candidates[i]) ranked.push_back({i, own[i] + o.page_share * page_best[page[i]]});
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const RankedCandidate& a, const RankedCandidate& b) { return a.score > b.score; });
  if (o.per_page == 0) return ranked;

  // Round-robin by rank: a page's extra chunks wait until every page has had
  // its turn, but keep their order among themselves.
  std::vector<RankedCandidate> out;
  out.reserve(ranked.size());
  std::vector<RankedCandidate> deferred;
  std::unordered_map<std::string_view, std::size_t> taken;
  for (const RankedCandidate& c : ranked) {
    if (taken[page[c.index]]++ < o.per_page) {
      out.push_back(c);
    } else {
      deferred.push_back(c);
    }
  }
  out.insert(out.end(), deferred.begin(), deferred.end());
  return out;
}

}  // namespace vorn_retrieval
