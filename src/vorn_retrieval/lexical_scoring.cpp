#include "vorn_retrieval/lexical_scoring.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "vorn_core/analysis.hpp"

namespace vorn_retrieval {
namespace {

constexpr double kK1 = 1.2;
constexpr double kB = 0.75;

std::string string_metadata(const vorn_core::Chunk& chunk, const char* key) {
  const vorn_core::Value* v = chunk.metadata.find(key);
  return v && v->is_string() ? v->as_string() : std::string();
}

using TermSet = std::unordered_set<std::string>;

TermSet term_set(std::string_view text) {
  std::vector<std::string> terms = vorn_core::search_terms(text);
  return TermSet(std::make_move_iterator(terms.begin()), std::make_move_iterator(terms.end()));
}

}  // namespace

std::string scoring_text(const vorn_core::Chunk& chunk) {
  std::string heading = string_metadata(chunk, "heading");
  if (heading.empty()) return chunk.content;
  return heading + "\n" + chunk.content;
}

std::vector<LexicalScore> score_lexically(std::string_view query, const vorn_core::ChunkList& chunks) {
  std::vector<LexicalScore> out(chunks.size());
  std::vector<std::string> query_terms = vorn_core::search_terms(query);
  std::sort(query_terms.begin(), query_terms.end());
  query_terms.erase(std::unique(query_terms.begin(), query_terms.end()), query_terms.end());
  if (query_terms.empty() || chunks.empty()) return out;

  // Term frequencies of the query terms only: other words never score.
  std::vector<std::unordered_map<std::string_view, double>> tf(chunks.size());
  std::vector<TermSet> heading(chunks.size());
  std::vector<const TermSet*> page(chunks.size(), nullptr);
  std::unordered_map<std::string, TermSet> pages;  // by title + summary: chunks of a page share it
  std::vector<double> length(chunks.size(), 0.0);
  std::unordered_map<std::string_view, double> df;
  const std::unordered_set<std::string_view> wanted(query_terms.begin(), query_terms.end());
  double total_length = 0.0;
  std::size_t documents = 0;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) continue;
    ++documents;
    const std::vector<std::string> terms = vorn_core::search_terms(scoring_text(*chunks[i]));
    length[i] = static_cast<double>(terms.size());
    total_length += length[i];
    for (const std::string& t : terms) {
      auto hit = wanted.find(t);
      if (hit != wanted.end()) tf[i][*hit] += 1.0;
    }
    for (const auto& [term, count] : tf[i]) df[term] += 1.0;
    heading[i] = term_set(string_metadata(*chunks[i], "heading"));
    std::string about = string_metadata(*chunks[i], "title") + "\n" + string_metadata(*chunks[i], "summary");
    auto it = pages.find(about);
    if (it == pages.end()) {
      TermSet terms_of_page = term_set(about);
      it = pages.emplace(std::move(about), std::move(terms_of_page)).first;
    }
    page[i] = &it->second;
  }
  if (documents == 0) return out;
  const double n = static_cast<double>(documents);
  const double avg_length = total_length > 0.0 ? total_length / n : 1.0;
  std::unordered_map<std::string_view, double> idf;
  double idf_total = 0.0;
  for (const std::string& t : query_terms) {
    const double d = df.count(t) ? df[t] : 0.0;
    idf[t] = std::log(1.0 + (n - d + 0.5) / (d + 0.5));
    idf_total += idf[t];
  }

  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) continue;
    const double norm = kK1 * (1.0 - kB + kB * length[i] / avg_length);
    double bm25 = 0.0;
    for (const auto& [term, count] : tf[i]) bm25 += idf[term] * count * (kK1 + 1.0) / (count + norm);
    out[i].bm25 = bm25;
    out[i].coverage = static_cast<double>(tf[i].size()) / static_cast<double>(query_terms.size());
    double in_page = 0.0;
    double in_heading = 0.0;
    for (const std::string& t : query_terms) {
      if (page[i]->count(t)) in_page += idf[t];
      if (heading[i].count(t)) in_heading += idf[t];
    }
    out[i].page = idf_total > 0.0 ? in_page / idf_total : 0.0;
    out[i].heading = idf_total > 0.0 ? in_heading / idf_total : 0.0;
  }
  return out;
}

}  // namespace vorn_retrieval
