#include "run_terms.hpp"

#include <unordered_map>

#include "page_index.hpp"
#include "vorn_core/analysis.hpp"
#include "vorn_core/text.hpp"

namespace vorn_datastore::sqlite {
namespace {

constexpr std::size_t kMaxCachedRuns = 1U << 16U;

struct RunHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

RunTerms terms_of(std::string_view run) {
  RunTerms out;
  std::vector<std::string> words;
  vorn_core::tokenize_words_into(run, words);
  out.stems.reserve(words.size());
  for (const std::string& w : words) out.stems.push_back(vorn_core::snowball_stem(w));
  out.codes = vorn_core::code_tokens(run);
  for (const std::string& s : out.stems) out.stem_hashes.push_back(term_hash(s));
  for (const std::string& c : out.codes) out.code_hashes.push_back(term_hash(c));
  return out;
}

}  // namespace

const RunTerms& run_terms(std::string_view run) {
  thread_local std::unordered_map<std::string, RunTerms, RunHash, std::equal_to<>> cache;
  if (const auto it = cache.find(run); it != cache.end()) return it->second;
  if (cache.size() >= kMaxCachedRuns) cache.clear();
  return cache.emplace(std::string(run), terms_of(run)).first->second;
}

}  // namespace vorn_datastore::sqlite
