#pragma once

// Splits document text into overlapping chunks sized for retrieval.
//
// Sizes count Unicode code points, offsets are byte offsets into the input.
// Cuts prefer, in order: a blank line, a line end, a sentence end, a space;
// a cut is only placed mid-word when a window holds no space at all, and
// never inside a UTF-8 sequence. In Markdown, reStructuredText and AsciiDoc,
// chunks never span two sections, each chunk records its heading path, and
// cuts inside code and literal blocks and lists are avoided unless the block
// is longer than a chunk.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_retrieval {

enum class DocumentFormat {
  kPlain,
  kMarkdown,
  // reStructuredText and AsciiDoc: underlined titles, "::" literal blocks,
  // delimited blocks. One parser serves both.
  kLightMarkup,
};

// The format of a document from its file name (".md", ".rst", ".adoc", and
// ".rst.txt" as Sphinx ships sources) or, for ".txt" and unknown names, from
// its text: underlined titles, "== " titles or ".. " directives mean
// lightweight markup.
DocumentFormat detect_format(std::string_view file_name, std::string_view text);

// What a document says about itself, for ranking whole pages: its first
// title and a one-line summary (an RST ":synopsis:", else the first
// sentences of its first paragraph, or of a NAME section among its first
// three, as manual pages have), markup removed. Empty when absent.
struct DocumentSummary {
  std::string title;
  std::string summary;
};
DocumentSummary summarize_document(std::string_view text, DocumentFormat format);

struct ChunkerOptions {
  std::size_t chunk_size = 800;     // code points per chunk, at most
  std::size_t chunk_overlap = 100;  // code points repeated from the previous chunk, at most
};

struct TextChunk {
  std::string id;        // "<source_id>#<index>-<8 hex digits of the content hash>"
  std::string content;   // == text.substr(start, end - start), trimmed of outer whitespace
  std::size_t start = 0; // byte offset into the chunked text
  std::size_t end = 0;   // byte offset one past the chunk
  std::string heading;   // heading path such as "Install > Debian"; empty for plain text
  // Markdown: the chunk starts inside a fenced code block that began in an
  // earlier chunk (a listing longer than a chunk), so its first fence line
  // closes code rather than opening it.
  bool opens_in_code = false;
};

class TextChunker {
 public:
  // Throws vorn_core::InvalidValueError (a std::invalid_argument) unless
  // chunk_size >= 1 and chunk_overlap < chunk_size.
  explicit TextChunker(ChunkerOptions options = {});

  [[nodiscard]] const ChunkerOptions& options() const noexcept { return options_; }

  // Whitespace-only input yields no chunks. Ids depend only on source_id,
  // the chunk's position and its content, so they are stable across runs.
  [[nodiscard]] std::vector<TextChunk> chunk(std::string_view text, std::string_view source_id,
                                             DocumentFormat format) const;
  // markdown ? kMarkdown : kPlain.
  [[nodiscard]] std::vector<TextChunk> chunk(std::string_view text, std::string_view source_id,
                                             bool markdown) const;

 private:
  ChunkerOptions options_;
};

std::string make_chunk_id(std::string_view source_id, std::size_t index, std::string_view content);

}  // namespace vorn_retrieval
