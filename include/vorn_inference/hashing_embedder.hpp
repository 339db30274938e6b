#pragma once

// Model-free text embedder based on signed feature hashing.
//
// Features: content words (stop words dropped unless nothing else is left),
// bigrams of adjacent content words, and character 3- to 5-grams of each
// content word (with word-boundary marks), so inflections and typos still
// overlap. Counts are weighted 1 + ln(tf), hashed with a fixed 64-bit hash
// into `dimension` buckets with a hash-derived sign (collisions then cancel
// on average instead of piling up), and the vector is L2-normalised.
//
// Output depends only on the text and the dimension: the same on every run,
// compiler and platform. Text with no words (empty, only punctuation) embeds
// to the all-zero vector, which similarity search treats as "no direction".

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_inference/embedder.hpp"

namespace vorn_inference {

class HashingEmbedder final : public BaseEmbedder {
 public:
  // Throws `InvalidValueError` (a std::invalid_argument) when dimension is 0.
  explicit HashingEmbedder(std::size_t dimension = 384);

  [[nodiscard]] std::size_t dimension() const noexcept override { return dimension_; }

  // The model interface: one embedding per text. Completes without suspending.
  vorn_core::Task<std::vector<Embedding>> embed(std::vector<std::string> texts) override;

  [[nodiscard]] Embedding embed_text(std::string_view text) const;
  // Writes into `out`, which must hold exactly dimension() floats
  // (`ValueError` otherwise). Safe to call from several threads.
  void embed_into(std::string_view text, std::span<float> out) const;

  std::string type_name() const override { return "HashingEmbedder"; }
  std::string identity() const override { return "hashing"; }

 private:
  std::size_t dimension_;
};

}  // namespace vorn_inference
