#include "vorn_retrieval/keyword_query_transformer.hpp"

#include <algorithm>

#include "vorn_core/error.hpp"
#include "vorn_core/text.hpp"

namespace vorn_retrieval {
namespace {

std::vector<std::string> keywords(std::string_view text) {
  std::vector<std::string> out;
  for (std::string& w : vorn_core::tokenize_words(text)) {
    if (!vorn_core::is_stop_word(w)) out.push_back(std::move(w));
  }
  return out;
}

std::string join(const std::vector<std::string>& words, std::size_t begin, std::size_t end) {
  std::string out;
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.empty()) out += ' ';
    out += words[i];
  }
  return out;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// " and " or " or " (any case, any white space around) starting at `i`;
// returns its length, 0 when there is none.
std::size_t conjunction_at(std::string_view q, std::size_t i) {
  if (i >= q.size() || !is_space(q[i])) return 0;
  for (std::string_view word : {std::string_view("and"), std::string_view("or")}) {
    const std::size_t end = i + 1 + word.size();
    if (end >= q.size() || !is_space(q[end])) continue;
    bool same = true;
    for (std::size_t k = 0; k < word.size(); ++k) {
      const char c = q[i + 1 + k];
      same = same && (c == word[k] || c == word[k] - 32);
    }
    if (same) return end - i;
  }
  return 0;
}

// Clause boundaries: punctuation that ends a part of a question, and the two
// conjunctions that join parts ("what is X and how does Y work").
std::vector<std::string> clauses(std::string_view query) {
  std::vector<std::string> out(1);
  for (std::size_t i = 0; i < query.size();) {
    const char c = query[i];
    if (c == ',' || c == ';' || c == '?') {
      out.emplace_back();
      ++i;
    } else if (const std::size_t n = conjunction_at(query, i); n > 0) {
      out.emplace_back();
      i += n;
    } else {
      out.back() += c;
      ++i;
    }
  }
  std::erase_if(out, [](const std::string& clause) { return keywords(clause).empty(); });
  return out;
}

}  // namespace

KeywordQueryTransformer::KeywordQueryTransformer(KeywordQueryOptions options) : options_(options) {
  if (options_.max_queries == 0) {
    throw vorn_core::InvalidValueError("Invalid `max_queries` 0. Set it to 1 or more and retry.");
  }
}

std::vector<std::string> KeywordQueryTransformer::variants(std::string_view query) const {
  std::vector<std::string> out;
  // Compared by their words, so "Install Debian" and "install debian" are one query.
  std::vector<std::vector<std::string>> seen;
  const auto add = [&](std::string text) {
    if (out.size() >= options_.max_queries) return;
    std::vector<std::string> words = vorn_core::tokenize_words(text);
    if (std::find(seen.begin(), seen.end(), words) != seen.end()) return;
    seen.push_back(std::move(words));
    out.push_back(std::move(text));
  };
  add(std::string(query));
  const std::vector<std::string> words = keywords(query);
  if (words.empty()) return out;
  add(join(words, 0, words.size()));
  const std::vector<std::string> parts = clauses(query);
  if (parts.size() > 1) {
    for (const std::string& part : parts) {
      const std::vector<std::string> part_words = keywords(part);
      add(join(part_words, 0, part_words.size()));
    }
  }
  if (words.size() >= 4) {
    add(join(words, 0, words.size() - 1));
    add(join(words, 1, words.size()));
  }
  return out;
}

vorn_core::Task<vorn_core::Value> KeywordQueryTransformer::transform(std::string query) {
  vorn_core::List out;
  for (std::string& q : variants(query)) out.emplace_back(std::move(q));
  co_return out;
}

}  // namespace vorn_retrieval
