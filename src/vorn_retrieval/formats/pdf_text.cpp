// PDF to text through the PDF module (poppler), loaded on the first PDF.
#include <dlfcn.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <new>

#include "module_search.hpp"
#include "pdf_module_abi.h"
#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "vorn_retrieval/document_loader.hpp"

namespace vorn_retrieval {
namespace {

struct PdfModule {
  vorn_pdf_extract_fn extract = nullptr;
  std::string failure;
};

const PdfModule& pdf_module() {
  static const PdfModule module = [] {
    PdfModule m;
    if (void* handle = open_module("libvorn_pdf.so", "vorn_pdf_module_abi", VORN_PDF_MODULE_ABI, m.failure)) {
      m.extract = reinterpret_cast<vorn_pdf_extract_fn>(::dlsym(handle, "vorn_pdf_extract"));
      if (m.extract == nullptr) m.failure = "libvorn_pdf.so lacks vorn_pdf_extract";
    }
    return m;
  }();
  return module;
}

// Collects what the module emits; nothing may be thrown back through it.
struct Sink {
  ExtractedText out;
  std::string message;
  bool out_of_memory = false;

  static void emit(void* self, int kind, const char* text, std::size_t size) noexcept {
    auto& s = *static_cast<Sink*>(self);
    try {
      const std::string_view bytes(text, size);
      if (kind == VORN_PDF_TITLE) {
        s.out.title = vorn_core::replace_invalid_utf8(bytes);
      } else if (kind == VORN_PDF_PAGE) {
        s.add_page(bytes);
      } else {
        s.message = vorn_core::replace_invalid_utf8(bytes);
      }
    } catch (...) {
      s.out_of_memory = true;
    }
  }

  void add_page(std::string_view bytes) {
    std::string text(bytes);
    // Pages end in a form feed; the page boundary is kept in page_starts.
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\f' || c == '\r'; }, '\n');
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!out.text.empty()) out.text += "\n\n";
    out.page_starts.push_back(out.text.size());
    out.text += vorn_core::replace_invalid_utf8(text);
  }
};

}  // namespace

ExtractedText pdf_to_text(std::string_view pdf) {
  if (pdf.size() > static_cast<std::size_t>(INT_MAX)) {
    throw LoadError(load_errc::kTooLarge, "The PDF is larger than this reader accepts (2 GiB).");
  }
  const PdfModule& module = pdf_module();
  if (module.extract == nullptr) {
    throw LoadError(load_errc::kUnsupported,
                    "PDF support is not available: " + module.failure +
                        ". Reinstall vorn-rag with its modules, or set VORN_RAG_MODULE_DIR to the directory that "
                        "holds libvorn_pdf.so.");
  }
  Sink sink;
  const int result = module.extract(pdf.data(), pdf.size(), &sink, &Sink::emit);
  if (sink.out_of_memory) throw std::bad_alloc();
  switch (result) {
    case VORN_PDF_OK: return std::move(sink.out);
    case VORN_PDF_LOCKED:
      throw LoadError(load_errc::kFormat, "The PDF is encrypted with a password. Save an unprotected copy to index it.");
    case VORN_PDF_FAILED:
      throw LoadError(load_errc::kFormat, "The PDF could not be read (" + sink.message + "). Repair or re-export it.");
    default:
      throw LoadError(load_errc::kFormat, "The file is not a PDF that can be read (damaged or not a PDF). Repair or "
                                          "re-export it.");
  }
}

std::size_t page_at(const std::vector<std::size_t>& page_starts, std::size_t offset) noexcept {
  if (page_starts.empty()) return 0;
  const auto after = std::upper_bound(page_starts.begin(), page_starts.end(), offset);
  return static_cast<std::size_t>(after - page_starts.begin());
}

}  // namespace vorn_retrieval
