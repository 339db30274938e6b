// The PDF module: poppler's C++ interface behind the C functions of
// pdf_module_abi.h.
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <climits>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "pdf_module_abi.h"

namespace {

// poppler prints every syntax complaint about a damaged file to stderr; a
// file it cannot read is reported through the result instead.
void silence_poppler() {
  static std::once_flag once;
  std::call_once(once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

void emit_bytes(vorn_pdf_emit emit, void* sink, int kind, const poppler::byte_array& bytes) {
  emit(sink, kind, bytes.data(), bytes.size());
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int vorn_pdf_module_abi(void) { return VORN_PDF_MODULE_ABI; }

extern "C" __attribute__((visibility("default"))) int vorn_pdf_extract(const char* data, size_t size, void* sink,
                                                                     vorn_pdf_emit emit) {
  try {
    silence_poppler();
    if (size > static_cast<size_t>(INT_MAX)) return VORN_PDF_UNREADABLE;
    std::unique_ptr<poppler::document> doc(poppler::document::load_from_raw_data(data, static_cast<int>(size)));
    if (!doc) return VORN_PDF_UNREADABLE;
    if (doc->is_locked()) return VORN_PDF_LOCKED;
    const poppler::ustring title = doc->info_key("Title");
    if (!title.empty()) emit_bytes(emit, sink, VORN_PDF_TITLE, title.to_utf8());
    const int pages = doc->pages();
    for (int i = 0; i < pages; ++i) {
      std::unique_ptr<poppler::page> page(doc->create_page(i));
      if (!page) {
        emit(sink, VORN_PDF_PAGE, "", 0);
        continue;
      }
      // Reading order without the column padding of the physical layout.
      emit_bytes(emit, sink, VORN_PDF_PAGE,
                 page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8());
    }
    return VORN_PDF_OK;
  } catch (const std::exception& e) {
    const std::string what = e.what();
    emit(sink, VORN_PDF_MESSAGE, what.data(), what.size());
  } catch (...) {
    emit(sink, VORN_PDF_MESSAGE, "unknown error", 13);
  }
  return VORN_PDF_FAILED;
}
