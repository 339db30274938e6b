#pragma once

// Search terms for lexical matching: the words of a text as Snowball English
// stems (so "copying", "copies" and "copied" meet), stop words left out, and
// code-like tokens kept whole as well as split into words, so a query for
// `--soft`, `HEAD^`, `std::vector` or `snake_case` prefers the text that
// spells it exactly. Deterministic; the same terms on every run and platform.

#include <string>
#include <string_view>
#include <vector>

namespace vorn_core {

// The Snowball (Porter 2) English stem of one word as produced by
// tokenize_words. Safe to call from several threads.
std::string snowball_stem(std::string_view word);

// Code-like tokens of `text`, lower-cased, in text order: a run of letters,
// digits and joiners (_ . : - / ^ ~ # +) that is more than a plain word, i.e.
// joins two words ("os.path", "snake_case", "std::vector", "pg_dump"), starts
// with a dash ("--soft", "-v") or ends with ^ or ~ ("HEAD^"). Surrounding
// punctuation and a sentence's final full stop are not part of the token.
std::vector<std::string> code_tokens(std::string_view text);

// Stemmed content words (stop words dropped unless nothing else is left),
// then the code tokens; repeats kept, so counts are term frequencies.
std::vector<std::string> search_terms(std::string_view text);

}  // namespace vorn_core
