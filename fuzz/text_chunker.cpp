// Document chunking on arbitrary bytes, plain, Markdown and lightweight
// markup (reStructuredText, AsciiDoc), invalid UTF-8 included: chunks are in
// order, each is the trimmed text between its offsets, no chunk is longer
// than the chunk size, chunks of valid UTF-8 are valid UTF-8, and no word of
// the document is lost. Page summaries and markup removal never grow the
// text they read.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "value_from_bytes.hpp"
#include "vorn_core/markup.hpp"
#include "vorn_core/text.hpp"
#include "vorn_retrieval/text_chunker.hpp"

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Code points as the chunker counts them: every byte that does not continue
// a sequence, and a leading stray continuation byte.
std::size_t code_points(std::string_view s) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i == 0 || !vorn_core::is_utf8_continuation(s[i])) ++n;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorn_fuzz::ByteReader in(data, size);
  vorn_retrieval::ChunkerOptions options;
  options.chunk_size = 1 + in.byte() % 120;
  options.chunk_overlap = in.byte() % options.chunk_size;
  const auto format = static_cast<vorn_retrieval::DocumentFormat>(in.byte() % 3);
  const bool plain = format == vorn_retrieval::DocumentFormat::kPlain;
  const std::string text = in.rest();
  const vorn_retrieval::TextChunker chunker(options);
  const auto chunks = chunker.chunk(text, "doc.md", format);
  const auto about = vorn_retrieval::summarize_document(text, format);
  if (about.title.size() > text.size() || about.summary.size() > text.size()) {
    vorn_fuzz::violated("a summary longer than its document");
  }
  if (vorn_core::strip_inline_markup(text).size() > text.size()) vorn_fuzz::violated("markup removal grew the text");
  const bool valid_utf8 = vorn_core::find_invalid_utf8(text) == std::string_view::npos;

  std::size_t previous_start = 0;
  std::string previous_id;
  std::vector<bool> covered(text.size(), false);
  for (const auto& c : chunks) {
    if (c.start > c.end || c.end > text.size()) vorn_fuzz::violated("offsets outside the text");
    if (c.start < previous_start) vorn_fuzz::violated("chunks out of order");
    previous_start = c.start;
    if (c.content != std::string_view(text).substr(c.start, c.end - c.start)) {
      vorn_fuzz::violated("content is not the text between the offsets");
    }
    if (c.content.empty() || is_space(c.content.front()) || is_space(c.content.back())) {
      vorn_fuzz::violated("content is empty or not trimmed");
    }
    if (code_points(c.content) > options.chunk_size) vorn_fuzz::violated("chunk longer than the chunk size");
    if (valid_utf8 && vorn_core::find_invalid_utf8(c.content) != std::string_view::npos) {
      vorn_fuzz::violated("a cut inside a UTF-8 sequence");
    }
    if (c.id == previous_id || c.id.rfind("doc.md#", 0) != 0) vorn_fuzz::violated("chunk ids repeat or lack the source");
    previous_id = c.id;
    for (std::size_t i = c.start; i < c.end; ++i) covered[i] = true;
  }
  // Every non-space byte ends up in some chunk (heading lines are kept as
  // the heading path and may stay out).
  if (plain) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (!covered[i] && !is_space(text[i])) vorn_fuzz::violated("text lost between chunks");
    }
  }
  return 0;
}
