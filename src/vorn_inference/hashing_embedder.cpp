#include "vorn_inference/hashing_embedder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "vorn_core/error.hpp"
#include "vorn_core/text.hpp"

namespace vorn_inference {

namespace {

using vorn_core::fnv1a64;

// Relative weight of each feature family: whole words carry the meaning,
// bigrams add a little word order, and the many character n-grams of a word
// together weigh about as much as the word itself.
constexpr float kWordWeight = 1.0F;
constexpr float kBigramWeight = 0.6F;
constexpr float kCharGramWeight = 0.25F;
constexpr std::size_t kMinGram = 3;
constexpr std::size_t kMaxGram = 5;
// Longer tokens (hashes, base64, URLs) would flood the vector with n-grams.
constexpr std::size_t kMaxGramWordLength = 40;

// Distinct seeds keep "ab" the word apart from "ab" the character gram.
constexpr std::uint64_t kWordSeed = fnv1a64("vorn:word");
constexpr std::uint64_t kBigramSeed = fnv1a64("vorn:bigram");
constexpr std::uint64_t kCharGramSeed = fnv1a64("vorn:chargram");

// FNV-1a is weak in its low bits, which pick the bucket; this finaliser
// (from MurmurHash3) spreads every input bit over the whole word.
constexpr std::uint64_t mix(std::uint64_t h) noexcept {
  h ^= h >> 33U;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33U;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33U;
  return h;
}

struct Feature {
  std::uint64_t hash;
  float weight;
  std::uint32_t bucket;  // hash % dimension, worked out once
};

void add_char_grams(std::string_view word, std::vector<std::uint64_t>& out) {
  std::string marked("<");
  marked.append(word);
  marked.push_back('>');
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < marked.size(); ++i) {
    if (!vorn_core::is_utf8_continuation(marked[i])) starts.push_back(i);
  }
  if (starts.size() > kMaxGramWordLength + 2) return;
  starts.push_back(marked.size());
  const std::size_t cps = starts.size() - 1;
  for (std::size_t n = kMinGram; n <= kMaxGram && n <= cps; ++n) {
    const char tag = static_cast<char>('0' + n);
    const std::uint64_t seed = fnv1a64(std::string_view(&tag, 1), kCharGramSeed);
    for (std::size_t i = 0; i + n <= cps; ++i) {
      const std::string_view gram(marked.data() + starts[i], starts[i + n] - starts[i]);
      out.push_back(mix(fnv1a64(gram, seed)));
    }
  }
}

// What a word contributes: whether it is a stop word and its hashed
// features: the word itself, the start of the bigrams it opens (FNV-1a
// carries on over the next word) and its character n-grams.
struct WordFeatures {
  bool stop = false;
  std::uint64_t word = 0;
  std::uint64_t bigram_prefix = 0;
  std::vector<std::uint64_t> grams;
};

struct WordHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Text repeats its words, and a word's features depend on the word alone:
// each thread remembers them. The memory is emptied only between texts, so
// the entries of the text at hand stay valid while it is embedded.
using WordCache = std::unordered_map<std::string, WordFeatures, WordHash, std::equal_to<>>;
constexpr std::size_t kMaxCachedWords = 1U << 15U;

const WordFeatures& features_of(WordCache& cache, std::string_view w) {
  if (const auto it = cache.find(w); it != cache.end()) return it->second;
  WordFeatures f;
  f.stop = vorn_core::is_stop_word(w);
  f.word = mix(fnv1a64(w, kWordSeed));
  f.bigram_prefix = fnv1a64("\x1f", fnv1a64(w, kBigramSeed));
  add_char_grams(w, f.grams);
  return cache.emplace(std::string(w), std::move(f)).first->second;
}

struct ContentWord {
  std::string_view text;
  const WordFeatures* features;
};

// Buckets hold a handful of features each: insertion sort beats std::sort
// there, and a rare crowded bucket goes to std::sort.
void sort_by_hash(std::vector<Feature>::iterator first, std::vector<Feature>::iterator last) {
  const auto by_hash = [](const Feature& a, const Feature& b) { return a.hash < b.hash; };
  if (last - first > 32) {
    std::sort(first, last, by_hash);
    return;
  }
  for (auto i = first + 1; i < last; ++i) {
    const Feature f = *i;
    auto j = i;
    for (; j != first && f.hash < (j - 1)->hash; --j) *j = *(j - 1);
    *j = f;
  }
}

}  // namespace

HashingEmbedder::HashingEmbedder(std::size_t dimension) : dimension_(dimension) {
  if (dimension_ == 0) throw vorn_core::InvalidValueError("Invalid `dimension` 0 for HashingEmbedder. Set it to 1 or more and retry.");
  if (dimension_ > std::numeric_limits<std::uint32_t>::max()) {
    throw vorn_core::InvalidValueError("Invalid `dimension` " + std::to_string(dimension_) +
                                       " for HashingEmbedder. Set it to at most 4294967295 and retry.");
  }
}

Embedding HashingEmbedder::embed_text(std::string_view text) const {
  Embedding out(dimension_);
  embed_into(text, out);
  return out;
}

vorn_core::Task<std::vector<Embedding>> HashingEmbedder::embed(std::vector<std::string> texts) {
  std::vector<Embedding> out;
  out.reserve(texts.size());
  for (const std::string& text : texts) out.push_back(embed_text(text));
  co_return out;
}

void HashingEmbedder::embed_into(std::string_view text, std::span<float> out) const {
  if (out.size() != dimension_) {
    throw vorn_core::InvalidValueError("HashingEmbedder: the output buffer has " + std::to_string(out.size()) +
                                " floats but the embedder produces " + std::to_string(dimension_) +
                                ". Pass a buffer of dimension() floats and retry.");
  }
  std::fill(out.begin(), out.end(), 0.0F);

  // Scratch kept per thread: indexing embeds thousands of chunks in a row.
  thread_local WordCache cache;
  thread_local std::vector<std::string> words;
  thread_local std::vector<ContentWord> content;
  thread_local std::vector<Feature> features;
  if (cache.size() >= kMaxCachedWords) cache.clear();
  words.clear();
  content.clear();
  features.clear();
  vorn_core::tokenize_words_into(text, words);
  for (const std::string& w : words) {
    const WordFeatures& f = features_of(cache, w);
    if (!f.stop) content.push_back({w, &f});
  }
  // "To be or not to be" still deserves a direction.
  if (content.empty()) {
    for (const std::string& w : words) content.push_back({w, &features_of(cache, w)});
  }
  if (content.empty()) return;

  const auto add = [&](std::uint64_t hash, float weight) {
    features.push_back({hash, weight, static_cast<std::uint32_t>(hash % dimension_)});
  };
  for (std::size_t i = 0; i < content.size(); ++i) {
    const WordFeatures& word = *content[i].features;
    add(word.word, kWordWeight);
    if (i + 1 < content.size()) add(mix(fnv1a64(content[i + 1].text, word.bigram_prefix)), kBigramWeight);
    for (const std::uint64_t gram : word.grams) add(gram, kCharGramWeight);
  }

  // Features are grouped by bucket (a counting sort), then each bucket's
  // few are sorted by hash, so that repeats form runs whose length is the
  // term frequency; the weight is the same along a run because the hash
  // encodes the family. A bucket adds its runs in ascending hash order, as a
  // sort of all features would, so vectors keep their exact bits (stored
  // vectors must stay comparable with new ones) at a fraction of the cost.
  thread_local std::vector<std::size_t> starts_of;
  thread_local std::vector<std::size_t> next_slot;
  thread_local std::vector<Feature> grouped;
  starts_of.assign(dimension_ + 1, 0);
  for (const Feature& f : features) ++starts_of[f.bucket + 1];
  for (std::size_t b = 0; b < dimension_; ++b) starts_of[b + 1] += starts_of[b];
  next_slot.assign(starts_of.begin(), starts_of.end() - 1);
  grouped.resize(features.size());
  for (const Feature& f : features) grouped[next_slot[f.bucket]++] = f;
  std::vector<double> acc(dimension_, 0.0);
  for (std::size_t b = 0; b < dimension_; ++b) {
    const auto first = grouped.begin() + static_cast<std::ptrdiff_t>(starts_of[b]);
    const auto last = grouped.begin() + static_cast<std::ptrdiff_t>(starts_of[b + 1]);
    if (first == last) continue;
    sort_by_hash(first, last);
    double sum = 0.0;
    for (auto i = first; i != last;) {
      auto j = i + 1;
      while (j != last && j->hash == i->hash) ++j;
      // ln(1) is 0: most features occur once, and skipping the call gives
      // the same value.
      const double value = j - i == 1 ? i->weight * 1.0 : i->weight * (1.0 + std::log(static_cast<double>(j - i)));
      sum += (i->hash >> 63U) != 0 ? -value : value;
      i = j;
    }
    acc[b] = sum;
  }
  double norm = 0.0;
  for (double v : acc) norm += v * v;
  if (norm == 0.0) return;
  const double inv = 1.0 / std::sqrt(norm);
  for (std::size_t d = 0; d < dimension_; ++d) out[d] = static_cast<float>(acc[d] * inv);
}

}  // namespace vorn_inference
