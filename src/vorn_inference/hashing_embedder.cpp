#include "vorn_inference/hashing_embedder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

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
};

void add_char_grams(std::string_view word, std::vector<Feature>& out, std::string& marked,
                    std::vector<std::size_t>& starts) {
  marked.assign("<");
  marked.append(word);
  marked.push_back('>');
  starts.clear();
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
      out.push_back({mix(fnv1a64(gram, seed)), kCharGramWeight});
    }
  }
}

}  // namespace

HashingEmbedder::HashingEmbedder(std::size_t dimension) : dimension_(dimension) {
  if (dimension_ == 0) throw vorn_core::InvalidValueError("Invalid `dimension` 0 for HashingEmbedder. Set it to 1 or more and retry.");
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

  const std::vector<std::string> words = vorn_core::tokenize_words(text);
  std::vector<std::string_view> content;
  content.reserve(words.size());
  for (const std::string& w : words) {
    if (!vorn_core::is_stop_word(w)) content.emplace_back(w);
  }
  // "To be or not to be" still deserves a direction.
  if (content.empty()) content.assign(words.begin(), words.end());
  if (content.empty()) return;

  std::vector<Feature> features;
  features.reserve(content.size() * 16);
  std::string marked;
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < content.size(); ++i) {
    const std::string_view w = content[i];
    features.push_back({mix(fnv1a64(w, kWordSeed)), kWordWeight});
    if (i + 1 < content.size()) {
      const std::uint64_t h = fnv1a64(content[i + 1], fnv1a64("\x1f", fnv1a64(w, kBigramSeed)));
      features.push_back({mix(h), kBigramWeight});
    }
    add_char_grams(w, features, marked, starts);
  }

  // Sorting groups repeated features so term frequency is a run length; the
  // weight is the same along a run because the hash encodes the family.
  std::sort(features.begin(), features.end(),
            [](const Feature& a, const Feature& b) { return a.hash < b.hash; });
  std::vector<double> acc(dimension_, 0.0);
  for (std::size_t i = 0; i < features.size();) {
    std::size_t j = i + 1;
    while (j < features.size() && features[j].hash == features[i].hash) ++j;
    const double tf = static_cast<double>(j - i);
    const double value = features[i].weight * (1.0 + std::log(tf));
    const std::uint64_t h = features[i].hash;
    const double sign = (h >> 63U) != 0 ? -1.0 : 1.0;
    acc[h % dimension_] += sign * value;
    i = j;
  }
  double norm = 0.0;
  for (double v : acc) norm += v * v;
  if (norm == 0.0) return;
  const double inv = 1.0 / std::sqrt(norm);
  for (std::size_t d = 0; d < dimension_; ++d) out[d] = static_cast<float>(acc[d] * inv);
}

}  // namespace vorn_inference
