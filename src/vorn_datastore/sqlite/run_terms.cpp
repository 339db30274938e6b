#include "run_terms.hpp"

#include "page_index.hpp"
#include "vorn_core/analysis.hpp"
#include "vorn_core/text.hpp"

namespace vorn_datastore::sqlite {

const RunTerms& run_terms(std::string_view run) {
  // Reused per thread, so a run costs no allocation once the buffers have
  // grown. (Remembering whole runs was tried: prose repeats them, but code
  // and reference pages hardly do, and a memory of tens of thousands of
  // runs cost python's documentation more than it saved.)
  thread_local RunTerms terms;
  thread_local std::vector<std::string> words;
  words.clear();
  terms.stems.clear();
  terms.stem_hashes.clear();
  terms.code_hashes.clear();
  vorn_core::tokenize_words_into(run, words);
  for (const std::string& w : words) {
    terms.stems.push_back(vorn_core::snowball_stem(w));
    terms.stem_hashes.push_back(term_hash(terms.stems.back()));
  }
  terms.codes = vorn_core::code_tokens(run);
  for (const std::string& c : terms.codes) terms.code_hashes.push_back(term_hash(c));
  return terms;
}

}  // namespace vorn_datastore::sqlite
