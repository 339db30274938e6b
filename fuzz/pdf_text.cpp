// PDF to text through poppler on arbitrary bytes: a file that is not a
// readable PDF is a LoadError with VORN-LOAD-FORMAT and nothing else
// escapes; for one that is, the text is UTF-8 and the page starts are
// ascending offsets inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "vorn_retrieval/document_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  vorn_retrieval::ExtractedText out;
  try {
    out = vorn_retrieval::pdf_to_text(input);
  } catch (const vorn_retrieval::LoadError& e) {
    if (e.code() != vorn_retrieval::load_errc::kFormat) std::abort();
    return 0;
  }
  if (vorn_core::find_invalid_utf8(out.text) != std::string_view::npos) std::abort();
  std::size_t previous = 0;
  for (const std::size_t start : out.page_starts) {
    if (start < previous || start > out.text.size()) std::abort();
    previous = start;
  }
  for (std::size_t i = 0; i < out.text.size(); i += 97) {
    const std::size_t page = vorn_retrieval::page_at(out.page_starts, i);
    if (page == 0 || page > out.page_starts.size()) std::abort();
  }
  return 0;
}
