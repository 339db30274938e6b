#include "vorn_core/text.hpp"

#include <algorithm>
#include <iterator>

namespace vorn_core {

Utf8Step decode_utf8(std::string_view text, std::size_t pos) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80U) return {b0, 1, true};

  std::size_t need = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0U) == 0xC0U) {
    need = 1; cp = b0 & 0x1FU; min = 0x80;
  } else if ((b0 & 0xF0U) == 0xE0U) {
    need = 2; cp = b0 & 0x0FU; min = 0x800;
  } else if ((b0 & 0xF8U) == 0xF0U) {
    need = 3; cp = b0 & 0x07U; min = 0x10000;
  } else {
    return {};
  }
  if (pos + need >= text.size()) return {};
  for (std::size_t i = 1; i <= need; ++i) {
    const unsigned char b = byte(pos + i);
    if ((b & 0xC0U) != 0x80U) return {};
    cp = (cp << 6U) | (b & 0x3FU);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
  return {cp, need + 1, true};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::size_t find_invalid_utf8(std::string_view text) noexcept {
  std::size_t pos = 0;
  while (pos < text.size()) {
    // ASCII dominates real documents; skip it without decoding.
    if (static_cast<unsigned char>(text[pos]) < 0x80U) {
      ++pos;
      continue;
    }
    const Utf8Step step = decode_utf8(text, pos);
    if (!step.valid) return pos;
    pos += step.length;
  }
  return std::string_view::npos;
}

std::string replace_invalid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const Utf8Step step = decode_utf8(text, pos);
    if (step.valid) {
      out.append(text.substr(pos, step.length));
      pos += step.length;
      continue;
    }
    append_utf8(out, 0xFFFD);
    // Swallow the continuation bytes of a broken sequence so one bad character
    // becomes one replacement character, not several.
    ++pos;
    while (pos < text.size() && is_utf8_continuation(text[pos])) ++pos;
  }
  return out;
}

namespace {

// U+0100..U+017F folded to lower-case ASCII; '?' marks the two-letter ligatures.
constexpr std::string_view kLatinExtA =
    "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiii??jjkkklllllll"
    "lllnnnnnnnnnoooooo??rrrrrrssssssssttttttuuuuuuuuuuuuwwyyyzzzzzzs";
static_assert(kLatinExtA.size() == 128);

// U+00C0..U+00FF; '?' marks ligatures and '*' the two maths symbols.
constexpr std::string_view kLatin1 =
    "aaaaaa?ceeeeiiiidnooooo*ouuuuy??"
    "aaaaaa?ceeeeiiiidnooooo*ouuuuy?y";
static_assert(kLatin1.size() == 64);

enum class CharClass { separator, word, ignorable };

CharClass classify(char32_t cp) noexcept {
  if (cp < 0x80) {
    const bool alnum = (cp >= '0' && cp <= '9') || (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
    return alnum ? CharClass::word : CharClass::separator;
  }
  if (cp <= 0xBF) return (cp == 0xAA || cp == 0xB5 || cp == 0xBA) ? CharClass::word : CharClass::separator;
  if (cp == 0xD7 || cp == 0xF7) return CharClass::separator;
  if (cp >= 0x0300 && cp <= 0x036F) return CharClass::ignorable;  // combining diacritics
  if (cp >= 0xFE00 && cp <= 0xFE0F) return CharClass::ignorable;  // variation selectors
  if (cp >= 0x2000 && cp <= 0x2BFF) return CharClass::separator;  // punctuation, symbols, arrows, box drawing
  if (cp >= 0x2E00 && cp <= 0x2E7F) return CharClass::separator;
  if (cp >= 0x3000 && cp <= 0x303F) return CharClass::separator;  // CJK punctuation
  if (cp >= 0xFE10 && cp <= 0xFE6F) return CharClass::separator;
  if (cp >= 0xFF00 && cp <= 0xFF0F) return CharClass::separator;  // full-width punctuation
  if (cp >= 0xFF1A && cp <= 0xFF20) return CharClass::separator;
  if (cp >= 0xFF3B && cp <= 0xFF40) return CharClass::separator;
  if (cp >= 0xFF5B && cp <= 0xFF65) return CharClass::separator;
  if (cp >= 0xFEFF && cp <= 0xFEFF) return CharClass::separator;
  if (cp >= 0xFFF0 && cp <= 0xFFFF) return CharClass::separator;  // specials, incl. U+FFFD
  if (cp >= 0x1F000 && cp <= 0x1FAFF) return CharClass::separator;  // emoji and pictographs
  if (cp >= 0xE0000 && cp <= 0xE007F) return CharClass::ignorable;  // tag characters
  return CharClass::word;
}

void append_folded(std::string& word, char32_t cp) {
  if (cp < 0x80) {
    word.push_back(static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp + 32 : cp));
    return;
  }
  if (cp >= 0xC0 && cp <= 0xFF) {
    const char f = kLatin1[cp - 0xC0];
    if (f != '?') {
      word.push_back(f);
    } else if (cp == 0xC6 || cp == 0xE6) {
      word += "ae";
    } else if (cp == 0xDE || cp == 0xFE) {
      word += "th";
    } else {
      word += "ss";  // U+00DF
    }
    return;
  }
  if (cp >= 0x100 && cp <= 0x17F) {
    const char f = kLatinExtA[cp - 0x100];
    if (f != '?') {
      word.push_back(f);
    } else {
      word += (cp <= 0x133) ? "ij" : "oe";
    }
    return;
  }
  // Simple case mapping for the two most common non-Latin alphabets; other
  // scripts are kept as written.
  if (cp >= 0x391 && cp <= 0x3A9 && cp != 0x3A2) cp += 0x20;
  else if (cp >= 0x410 && cp <= 0x42F) cp += 0x20;
  else if (cp >= 0x400 && cp <= 0x40F) cp += 0x50;
  append_utf8(word, cp);
}

constexpr std::string_view kStopWords[] = {
    "a",       "about", "above", "after", "again",   "against", "all",   "am",    "an",     "and",
    "any",     "are",   "as",    "at",    "be",      "because", "been",  "before", "being", "below",
    "between", "both",  "but",   "by",    "can",     "could",   "did",   "do",    "does",   "doing",
    "down",    "during", "each", "few",   "for",     "from",    "further", "had", "has",    "have",
    "having",  "he",    "her",   "here",  "hers",    "herself", "him",   "himself", "his",  "how",
    "i",       "if",    "in",    "into",  "is",      "it",      "its",   "itself", "just",  "me",
    "more",    "most",  "my",    "myself", "no",     "nor",     "not",   "now",   "of",     "off",
    "on",      "once",  "only",  "or",    "other",   "our",     "ours",  "ourselves", "out", "over",
    "own",     "s",     "same",  "she",   "should",  "so",      "some",  "such",  "t",      "than",
    "that",    "the",   "their", "theirs", "them",   "themselves", "then", "there", "these", "they",
    "this",    "those", "through", "to",  "too",     "under",   "until", "up",    "very",   "was",
    "we",      "were",  "what",  "when",  "where",   "which",   "while", "who",   "whom",   "why",
    "will",    "with",  "would", "you",   "your",    "yours",   "yourself",
};
static_assert(std::is_sorted(std::begin(kStopWords), std::end(kStopWords)));

}  // namespace

void tokenize_words_into(std::string_view text, std::vector<std::string>& out) {
  std::string word;
  const auto flush = [&] {
    if (!word.empty()) {
      out.push_back(word);
      word.clear();
    }
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    const unsigned char b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80U) {
      // ASCII fast path.
      const bool digit = b >= '0' && b <= '9';
      const bool lower = b >= 'a' && b <= 'z';
      const bool upper = b >= 'A' && b <= 'Z';
      if (digit || lower) word.push_back(static_cast<char>(b));
      else if (upper) word.push_back(static_cast<char>(b + 32));
      else flush();
      ++pos;
      continue;
    }
    const Utf8Step step = decode_utf8(text, pos);
    pos += step.length;
    if (!step.valid) {
      flush();
      continue;
    }
    switch (classify(step.code_point)) {
      case CharClass::word: append_folded(word, step.code_point); break;
      case CharClass::ignorable: break;
      case CharClass::separator: flush(); break;
    }
  }
  flush();
}

std::vector<std::string> tokenize_words(std::string_view text) {
  std::vector<std::string> out;
  tokenize_words_into(text, out);
  return out;
}

bool is_stop_word(std::string_view word) noexcept {
  return std::binary_search(std::begin(kStopWords), std::end(kStopWords), word);
}

namespace {

bool ends_with(std::string_view w, std::string_view suffix) noexcept {
  return w.size() >= suffix.size() && w.substr(w.size() - suffix.size()) == suffix;
}

bool is_vowel(char c) noexcept { return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u' || c == 'y'; }

// "stopp" -> "stop", but not "pass" -> "pas" or "call" -> "cal".
void undouble(std::string& w) {
  const std::size_t n = w.size();
  if (n >= 4 && w[n - 1] == w[n - 2] && !is_vowel(w[n - 1]) && w[n - 1] != 'l' && w[n - 1] != 's' &&
      w[n - 1] != 'z') {
    w.pop_back();
  }
}

}  // namespace

std::string light_stem(std::string_view word) {
  std::string w(word);
  if (w.size() <= 4) return w;
  // Plurals and third person.
  if (ends_with(w, "ies") && w.size() > 5) {
    w.resize(w.size() - 3);
    w += 'y';
  } else if (ends_with(w, "sses")) {
    w.resize(w.size() - 2);
  } else if (ends_with(w, "ches") || ends_with(w, "shes") || ends_with(w, "xes") || ends_with(w, "zes")) {
    w.resize(w.size() - 2);
  } else if (ends_with(w, "s") && !ends_with(w, "ss") && !ends_with(w, "us") && !ends_with(w, "is")) {
    w.pop_back();
  }
  // Participles, when a reasonable stem is left.
  if (ends_with(w, "ing") && w.size() >= 6) {
    w.resize(w.size() - 3);
    undouble(w);
  } else if (ends_with(w, "ed") && w.size() >= 5 && !ends_with(w, "eed")) {
    w.resize(w.size() - 2);
    undouble(w);
  }
  // "retrieve", "retrieved" and "retrieving" all end as "retriev".
  if (w.size() > 4 && w.back() == 'e') w.pop_back();
  return w;
}

std::vector<std::string> content_terms(std::string_view text) {
  std::vector<std::string> words = tokenize_words(text);
  const bool has_content = std::any_of(words.begin(), words.end(), [](const std::string& w) { return !is_stop_word(w); });
  std::vector<std::string> out;
  out.reserve(words.size());
  for (const std::string& w : words) {
    if (has_content && is_stop_word(w)) continue;
    out.push_back(light_stem(w));
  }
  return out;
}

}  // namespace vorn_core
