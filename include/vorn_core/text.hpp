#pragma once

// Word tokenisation, UTF-8 helpers, matching keys and a portable hash, shared
// by the chunker, the embedder, the store's BM25 query sanitiser and the
// lexical retrieval and answering components. They live in the core because
// both the data store and retrieval need them, and retrieval depends on the
// store. Everything here is deterministic across runs, compilers and
// platforms, because hashed values end up on disk.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_core {

inline constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

// FNV-1a 64 over raw bytes. Chain calls by passing the previous result as `seed`.
constexpr std::uint64_t fnv1a64(std::string_view bytes, std::uint64_t seed = kFnvOffset) noexcept {
  std::uint64_t h = seed;
  for (char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= kFnvPrime;
  }
  return h;
}

// One decoded step of a UTF-8 string. Invalid input (overlong forms,
// surrogates, values above U+10FFFF, truncated sequences, stray continuation
// bytes) yields valid == false and length 1, so callers can always advance.
struct Utf8Step {
  char32_t code_point = 0;
  std::size_t length = 1;
  bool valid = false;
};

Utf8Step decode_utf8(std::string_view text, std::size_t pos) noexcept;
void append_utf8(std::string& out, char32_t code_point);

inline constexpr bool is_utf8_continuation(char c) noexcept {
  return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U;
}

// Byte offset of the first invalid sequence, or npos when `text` is valid UTF-8.
std::size_t find_invalid_utf8(std::string_view text) noexcept;
// Copy of `text` with every invalid sequence replaced by U+FFFD.
std::string replace_invalid_utf8(std::string_view text);

// Lower-cased words made of letters and digits. Latin-1 and Latin Extended-A
// letters are folded to ASCII ("Ærø" -> "aero"), Greek and Cyrillic capitals
// are lower-cased, combining marks are dropped, and every other symbol or
// punctuation character (including '_' and apostrophes) separates words, so the
// output never contains FTS5 syntax characters.
std::vector<std::string> tokenize_words(std::string_view text);
// Appends to `out` instead of allocating a new vector (reuse it in hot loops).
void tokenize_words_into(std::string_view text, std::vector<std::string>& out);

// Small English stop-word list; expects a word as produced by tokenize_words.
bool is_stop_word(std::string_view word) noexcept;

// Conservative English suffix stripping for lexical matching, so "strategies"
// meets "strategy" and "retrieved" meets "retrieves". It only ever shortens a
// word and leaves words of four letters or fewer alone; it is a matching key,
// not a linguistic stem.
std::string light_stem(std::string_view word);

// The words of `text` that carry meaning, as matching keys: tokenized, stop
// words dropped (all kept when nothing else is left), light-stemmed, in text
// order with repeats.
std::vector<std::string> content_terms(std::string_view text);

}  // namespace vorn_core
