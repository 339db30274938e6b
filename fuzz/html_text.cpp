// HTML to text through libxml2 on arbitrary bytes: nothing escapes, and the
// text (and its links) is UTF-8, the text without NUL bytes or trailing
// blanks, whatever the page's encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_formats.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const vorn_retrieval::ExtractedText out = vorn_retrieval::html_to_text(input);
  if (vorn_core::find_invalid_utf8(out.text) != std::string_view::npos) std::abort();
  if (vorn_core::find_invalid_utf8(out.title) != std::string_view::npos) std::abort();
  if (out.text.find('\0') != std::string::npos) std::abort();
  for (const vorn_retrieval::TextLink& link : out.links) {
    if (vorn_core::find_invalid_utf8(link.target) != std::string_view::npos) std::abort();
    if (vorn_core::find_invalid_utf8(link.context) != std::string_view::npos) std::abort();
  }
  if (!out.text.empty() && (out.text.back() == ' ' || out.text.back() == '\n')) std::abort();
  return 0;
}
