#include "fts_query.hpp"

#include <algorithm>
#include <unordered_set>

#include "vorn_core/text.hpp"

namespace vorn_datastore::sqlite {
namespace {
constexpr std::size_t kMaxQueryTerms = 32;
}  // namespace

std::vector<std::string> query_terms(std::string_view query) {
  std::vector<std::string> words = vorn_core::tokenize_words(query);
  const bool has_content_word = std::any_of(words.begin(), words.end(),
                                            [](const std::string& w) { return !vorn_core::is_stop_word(w); });
  std::vector<std::string> terms;
  std::unordered_set<std::string_view> seen;
  for (const std::string& w : words) {
    if (has_content_word && vorn_core::is_stop_word(w)) continue;
    if (!seen.insert(w).second) continue;
    terms.push_back(w);
    if (terms.size() == kMaxQueryTerms) break;
  }
  return terms;
}

std::string match_expression(const std::vector<std::string>& terms) {
  std::string expr;
  for (const std::string& term : terms) {
    if (!expr.empty()) expr += " OR ";
    expr += '"';
    for (char c : term) {
      expr += c;
      if (c == '"') expr += '"';
    }
    expr += '"';
  }
  return expr;
}

}  // namespace vorn_datastore::sqlite
