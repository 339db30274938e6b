// Office documents and books on arbitrary bytes, through each of their
// readers: anything that is not a readable package is a LoadError with
// VORN-LOAD-FORMAT or VORN-LOAD-TOO-LARGE and nothing else escapes; what is
// read is UTF-8 text and a one-line title.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "vorn_retrieval/document_loader.hpp"

namespace {

// Small enough that a bomb is caught quickly, large enough for real seeds.
constexpr std::size_t kUnpackLimit = std::size_t{4} << 20U;

void check(vorn_retrieval::ExtractedText (*convert)(std::string_view, std::size_t), std::string_view input) {
  vorn_retrieval::ExtractedText out;
  try {
    out = convert(input, kUnpackLimit);
  } catch (const vorn_retrieval::LoadError& e) {
    if (e.code() != vorn_retrieval::load_errc::kFormat && e.code() != vorn_retrieval::load_errc::kTooLarge) {
      std::abort();
    }
    return;
  }
  if (vorn_core::find_invalid_utf8(out.text) != std::string_view::npos) std::abort();
  if (vorn_core::find_invalid_utf8(out.title) != std::string_view::npos) std::abort();
  if (out.title.find('\n') != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check(&vorn_retrieval::docx_to_text, input);
  check(&vorn_retrieval::odt_to_text, input);
  check(&vorn_retrieval::epub_to_text, input);
  return 0;
}
