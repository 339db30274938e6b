// Manual page text to Markdown on arbitrary text: nothing escapes, the
// result of valid UTF-8 is valid UTF-8 without overstrike codes, and the
// chunker can read it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "vorn_retrieval/text_chunker.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto page = vorn_retrieval::manual_page_to_text(input);
  if (!page) return 0;
  if (vorn_core::find_invalid_utf8(input) == std::string_view::npos) {
    if (vorn_core::find_invalid_utf8(page->text) != std::string_view::npos) std::abort();
    if (vorn_core::find_invalid_utf8(page->title) != std::string_view::npos) std::abort();
  }
  if (page->text.find('\b') != std::string::npos || page->title.empty()) std::abort();
  (void)vorn_retrieval::TextChunker().chunk(page->text, "page", vorn_retrieval::DocumentFormat::kMarkdown);
  return 0;
}
