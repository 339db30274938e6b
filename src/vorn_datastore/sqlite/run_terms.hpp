// The index terms of one whitespace-delimited run of text ("os.path.join(a,",
// "copies"), as the full-text tokenizer indexes them and the page index
// counts them: the Snowball stems of its words, then its code-like tokens.
// One definition for both, so a page's terms are the ones its chunks are
// indexed under.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_datastore::sqlite {

struct RunTerms {
  std::vector<std::string> stems;  // vorn_core::snowball_stem of each word, in order
  std::vector<std::string> codes;  // vorn_core::code_tokens of the run
  std::vector<std::uint64_t> stem_hashes;  // term_hash of each stem
  std::vector<std::uint64_t> code_hashes;  // term_hash of each code token
};

// The terms of `run` (which holds no ASCII whitespace). The reference stays
// valid until the next call on the same thread.
const RunTerms& run_terms(std::string_view run);

inline constexpr bool is_ascii_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Calls `visit(run, begin, end)` for each whitespace-delimited run of `text`
// with its byte offsets.
template <typename Visit>
void for_each_run(std::string_view text, Visit&& visit) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && is_ascii_space(text[pos])) ++pos;
    const std::size_t begin = pos;
    while (pos < text.size() && !is_ascii_space(text[pos])) ++pos;
    if (begin == pos) break;
    visit(text.substr(begin, pos - begin), begin, pos);
  }
}

}  // namespace vorn_datastore::sqlite
