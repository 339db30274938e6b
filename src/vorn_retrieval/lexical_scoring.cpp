#include "vorn_retrieval/lexical_scoring.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "vorn_core/text.hpp"

namespace vorn_retrieval {
namespace {

constexpr double kK1 = 1.2;
constexpr double kB = 0.75;

}  // namespace

std::string scoring_text(const vorn_core::Chunk& chunk) {
  const vorn_core::Value* heading = chunk.metadata.find("heading");
  if (heading && heading->is_string() && !heading->as_string().empty()) {
    return heading->as_string() + "\n" + chunk.content;
  }
  return chunk.content;
}

std::vector<LexicalScore> score_lexically(std::string_view query, const vorn_core::ChunkList& chunks) {
  std::vector<LexicalScore> out(chunks.size());
  std::vector<std::string> query_terms = vorn_core::content_terms(query);
  std::sort(query_terms.begin(), query_terms.end());
  query_terms.erase(std::unique(query_terms.begin(), query_terms.end()), query_terms.end());
  if (query_terms.empty() || chunks.empty()) return out;

  // Term frequencies of the query terms only: other words never score.
  std::vector<std::unordered_map<std::string_view, double>> tf(chunks.size());
  std::vector<double> length(chunks.size(), 0.0);
  std::unordered_map<std::string_view, double> df;
  const std::unordered_set<std::string_view> wanted(query_terms.begin(), query_terms.end());
  double total_length = 0.0;
  std::size_t documents = 0;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) continue;
    ++documents;
    const std::vector<std::string> terms = vorn_core::content_terms(scoring_text(*chunks[i]));
    length[i] = static_cast<double>(terms.size());
    total_length += length[i];
    for (const std::string& t : terms) {
      auto hit = wanted.find(t);
      if (hit != wanted.end()) tf[i][*hit] += 1.0;
    }
    for (const auto& [term, count] : tf[i]) df[term] += 1.0;
  }
  if (documents == 0) return out;
  const double n = static_cast<double>(documents);
  const double avg_length = total_length > 0.0 ? total_length / n : 1.0;

  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) continue;
    const double norm = kK1 * (1.0 - kB + kB * length[i] / avg_length);
    double bm25 = 0.0;
    for (const auto& [term, count] : tf[i]) {
      const double d = df[term];
      const double idf = std::log(1.0 + (n - d + 0.5) / (d + 0.5));
      bm25 += idf * count * (kK1 + 1.0) / (count + norm);
    }
    out[i].bm25 = bm25;
    out[i].coverage = static_cast<double>(tf[i].size()) / static_cast<double>(query_terms.size());
  }
  return out;
}

}  // namespace vorn_retrieval
