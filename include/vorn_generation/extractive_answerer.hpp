// Offline response synthesis by extraction: the answer is the chunks' best
// sentences for the question, verbatim, each run of them followed by the id
// of its chunk ("... [docs/design.md#3-1a2b3c4d]"). No model is involved, so
// the answer is only as fluent as the documents, but every word of it can be
// traced to a source.
#pragma once

#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_inference/extractive.hpp"

namespace vorn_generation {

class ExtractiveAnswerer : public ResponseSynthesizer {
 public:
  // Throws `ValueError` for max_sentences 0.
  explicit ExtractiveAnswerer(vorn_inference::ExtractiveOptions options = {});

  // Always text: the answer, or a sentence starting "No answer found" when
  // there are no chunks or none mentions the question's words. A string
  // `heading` metadata entry of a chunk counts as its section title.
  vorn_core::Task<vorn_core::Value> synthesize(std::string query, vorn_core::ChunkList chunks) override;

  // The answer with the sentences picked and the ids cited.
  vorn_inference::ExtractiveAnswer answer(std::string_view query, const vorn_core::ChunkList& chunks) const;

  const vorn_inference::ExtractiveOptions& options() const noexcept { return options_; }
  std::string type_name() const override { return "ExtractiveAnswerer"; }

 private:
  vorn_inference::ExtractiveOptions options_;
};

}  // namespace vorn_generation
