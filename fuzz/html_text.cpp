// HTML (and, by the first byte, AsciiDoc or reStructuredText) to text on
// arbitrary bytes: nothing escapes; HTML text is UTF-8 without NUL bytes or
// trailing blanks; the structured-text converters keep valid UTF-8 valid.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_formats.hpp"

namespace {

// Structure is recognised on whole lines and only ASCII is added, so valid
// UTF-8 stays valid.
void check_structured(std::string_view input, const std::string& out) {
  const bool valid_in = vorn_core::find_invalid_utf8(input) == std::string_view::npos;
  if (valid_in && vorn_core::find_invalid_utf8(out) != std::string_view::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
    case 1: {
      const vorn_retrieval::ExtractedText out = vorn_retrieval::html_to_text(input);
      // libxml2 hands out UTF-8 whatever the page's encoding.
      if (vorn_core::find_invalid_utf8(out.text) != std::string_view::npos) std::abort();
      if (out.text.find('\0') != std::string::npos) std::abort();
      if (!out.text.empty() && (out.text.back() == ' ' || out.text.back() == '\n')) std::abort();
      break;
    }
    case 2: check_structured(input, vorn_retrieval::asciidoc_to_text(input)); break;
    default: check_structured(input, vorn_retrieval::restructured_text_to_text(input)); break;
  }
  return 0;
}
