#include "vorn_core/analysis.hpp"

#include <libstemmer.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>

#include "vorn_core/text.hpp"

namespace vorn_core {
namespace {

struct StemmerDeleter {
  void operator()(sb_stemmer* s) const noexcept { sb_stemmer_delete(s); }
};

// A Snowball stemmer keeps state between calls, so each thread has its own.
sb_stemmer* thread_stemmer() {
  thread_local std::unique_ptr<sb_stemmer, StemmerDeleter> stemmer(sb_stemmer_new("english", "UTF_8"));
  return stemmer.get();
}

// Indexing stems every word of every chunk twice (full-text terms and page
// terms) and a corpus repeats a few thousand words over and over, so each
// thread remembers the stems it made. Bounded: a flood of distinct tokens
// (numbers, hashes) empties it rather than growing it without end.
constexpr std::size_t kMaxCachedStems = 1U << 16U;

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using StemCache = std::unordered_map<std::string, std::string, StringHash, std::equal_to<>>;

// nullopt when the stemmer is out of memory: the caller falls back to the
// word itself, which still matches, and does not remember that.
std::optional<std::string> stem_uncached(std::string_view word) {
  sb_stemmer* stemmer = thread_stemmer();
  if (!stemmer) return std::nullopt;
  const sb_symbol* out =
      sb_stemmer_stem(stemmer, reinterpret_cast<const sb_symbol*>(word.data()), static_cast<int>(word.size()));
  if (!out) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(sb_stemmer_length(stemmer)));
}

bool is_word_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (static_cast<unsigned char>(c) >= 0x80);
}

bool is_joiner(char c) noexcept {
  return c == '_' || c == '.' || c == ':' || c == '-' || c == '/' || c == '^' || c == '~' || c == '#' || c == '+';
}

char lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Whether a candidate run is more than one plain word.
bool is_code_like(std::string_view run) {
  if (run.size() < 2) return false;
  if (run[0] == '-') return run.size() >= 2 && is_word_char(run.back());
  if (run.back() == '^' || run.back() == '~') return true;
  // A joiner between two word characters.
  for (std::size_t i = 1; i + 1 < run.size(); ++i) {
    if (is_joiner(run[i]) && is_word_char(run[i - 1]) && (is_word_char(run[i + 1]) || is_joiner(run[i + 1]))) {
      return std::any_of(run.begin() + static_cast<std::ptrdiff_t>(i) + 1, run.end(), is_word_char);
    }
  }
  return false;
}

}  // namespace

std::string snowball_stem(std::string_view word) {
  if (word.empty()) return {};
  thread_local StemCache cache;
  if (const auto it = cache.find(word); it != cache.end()) return it->second;
  std::optional<std::string> stem = stem_uncached(word);
  if (!stem) return std::string(word);
  if (cache.size() >= kMaxCachedStems) cache.clear();
  cache.emplace(std::string(word), *stem);
  return std::move(*stem);
}

std::vector<std::string> code_tokens(std::string_view text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (!is_word_char(text[i]) && text[i] != '-' && text[i] != '_') {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && (is_word_char(text[end]) || is_joiner(text[end]))) ++end;
    std::string_view run = text.substr(i, end - i);
    // A sentence's full stop, a trailing colon or a lone trailing dash is punctuation.
    while (!run.empty() && (run.back() == '.' || run.back() == ':' || run.back() == '-' || run.back() == '/' ||
                            run.back() == '_' || run.back() == '#' || run.back() == '+')) {
      run.remove_suffix(1);
    }
    // A dash opens an option only at the start of a word ("--soft", not "a-b").
    const bool dash_opens = i == 0 || text[i - 1] == ' ' || text[i - 1] == '\t' || text[i - 1] == '\n' ||
                            text[i - 1] == '(' || text[i - 1] == '`' || text[i - 1] == '[' || text[i - 1] == '"' ||
                            text[i - 1] == '\'';
    while (!run.empty() && (run.front() == '.' || run.front() == ':' || run.front() == '/' || run.front() == '^' ||
                            run.front() == '~' || (run.front() == '-' && !dash_opens))) {
      run.remove_prefix(1);
    }
    if (is_code_like(run)) {
      std::string token;
      token.reserve(run.size());
      for (char c : run) token.push_back(lower(c));
      out.push_back(std::move(token));
    }
    i = end;
  }
  return out;
}

std::vector<std::string> search_terms(std::string_view text) {
  std::vector<std::string> words = tokenize_words(text);
  const bool has_content = std::any_of(words.begin(), words.end(), [](const std::string& w) { return !is_stop_word(w); });
  std::vector<std::string> out;
  out.reserve(words.size() + 4);
  for (const std::string& w : words) {
    if (has_content && is_stop_word(w)) continue;
    out.push_back(snowball_stem(w));
  }
  for (std::string& t : code_tokens(text)) out.push_back(std::move(t));
  return out;
}

}  // namespace vorn_core
