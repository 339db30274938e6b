// PDF to text with poppler's C++ interface.
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>

#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "vorn_retrieval/document_loader.hpp"

namespace vorn_retrieval {
namespace {

// poppler prints every syntax complaint about a damaged file to stderr; a
// file it cannot read is reported through the LoadError instead.
void silence_poppler() {
  static std::once_flag once;
  std::call_once(once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

std::string page_text(const poppler::page& page) {
  // Reading order without the column padding of the physical layout.
  const poppler::byte_array utf8 =
      page.text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8();
  std::string text(utf8.begin(), utf8.end());
  // Pages end in a form feed; the page boundary is kept in page_starts.
  for (char& c : text) {
    if (c == '\f' || c == '\r') c = '\n';
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return vorn_core::replace_invalid_utf8(text);
}

}  // namespace

ExtractedText pdf_to_text(std::string_view pdf) {
  silence_poppler();
  if (pdf.size() > static_cast<std::size_t>(INT_MAX)) {
    throw LoadError(load_errc::kTooLarge, "The PDF is larger than this reader accepts (2 GiB).");
  }
  std::unique_ptr<poppler::document> doc(
      poppler::document::load_from_raw_data(pdf.data(), static_cast<int>(pdf.size())));
  if (!doc) {
    throw LoadError(load_errc::kFormat, "The file is not a PDF that can be read (damaged or not a PDF). Repair or "
                                        "re-export it.");
  }
  if (doc->is_locked()) {
    throw LoadError(load_errc::kFormat, "The PDF is encrypted with a password. Save an unprotected copy to index it.");
  }
  ExtractedText out;
  const poppler::ustring title = doc->info_key("Title");
  if (!title.empty()) {
    const poppler::byte_array t = title.to_utf8();
    out.title = vorn_core::replace_invalid_utf8(std::string_view(t.data(), t.size()));
  }
  const int pages = doc->pages();
  for (int i = 0; i < pages; ++i) {
    std::unique_ptr<poppler::page> page(doc->create_page(i));
    if (!out.text.empty()) out.text += "\n\n";
    out.page_starts.push_back(out.text.size());
    if (page) out.text += page_text(*page);
  }
  return out;
}

std::size_t page_at(const std::vector<std::size_t>& page_starts, std::size_t offset) noexcept {
  if (page_starts.empty()) return 0;
  const auto after = std::upper_bound(page_starts.begin(), page_starts.end(), offset);
  return static_cast<std::size_t>(after - page_starts.begin());
}

}  // namespace vorn_retrieval
