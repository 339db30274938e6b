#pragma once

// Splits document text into overlapping chunks sized for retrieval.
//
// Sizes count Unicode code points, offsets are byte offsets into the input.
// Cuts prefer, in order: a blank line, a line end, a sentence end, a space;
// a cut is only placed mid-word when a window holds no space at all, and
// never inside a UTF-8 sequence. In Markdown, chunks never span two
// sections, each chunk records its heading path, and cuts inside fenced code
// blocks are avoided unless a block is longer than a chunk.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_retrieval {

struct ChunkerOptions {
  std::size_t chunk_size = 800;     // code points per chunk, at most
  std::size_t chunk_overlap = 100;  // code points repeated from the previous chunk, at most
};

struct TextChunk {
  std::string id;        // "<source_id>#<index>-<8 hex digits of the content hash>"
  std::string content;   // == text.substr(start, end - start), trimmed of outer whitespace
  std::size_t start = 0; // byte offset into the chunked text
  std::size_t end = 0;   // byte offset one past the chunk
  std::string heading;   // Markdown heading path such as "Install > Debian"; empty for plain text
};

class TextChunker {
 public:
  // Throws std::invalid_argument unless chunk_size >= 1 and chunk_overlap < chunk_size.
  explicit TextChunker(ChunkerOptions options = {});

  [[nodiscard]] const ChunkerOptions& options() const noexcept { return options_; }

  // Whitespace-only input yields no chunks. Ids depend only on source_id,
  // the chunk's position and its content, so they are stable across runs.
  [[nodiscard]] std::vector<TextChunk> chunk(std::string_view text, std::string_view source_id,
                                             bool markdown) const;

 private:
  ChunkerOptions options_;
};

std::string make_chunk_id(std::string_view source_id, std::size_t index, std::string_view content);

}  // namespace vorn_retrieval
