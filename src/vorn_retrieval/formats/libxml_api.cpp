#include "libxml_api.hpp"

#include <string>

#include "vorn_core/shared_library.hpp"
#include "vorn_retrieval/document_loader.hpp"

namespace vorn_retrieval::detail {
namespace {

struct Loaded {
  LibxmlApi api{};
  std::string failure;  // empty once loaded
};

Loaded load() {
  Loaded out;
  // The soname of the libxml2 this build was compiled against.
  vorn_core::SharedLibrary library(VORN_LIBXML2_SONAME);
  LibxmlApi& a = out.api;
  library.resolve(a.init_parser, "xmlInitParser");
  library.resolve(a.html_read_memory, "htmlReadMemory");
  library.resolve(a.xml_read_memory, "xmlReadMemory");
  library.resolve(a.doc_get_root_element, "xmlDocGetRootElement");
  library.resolve(a.free_doc, "xmlFreeDoc");
  out.failure = library.failure();
  // Before any parse, once: the parser's global state is not thread-safe
  // to set up on the fly.
  if (out.failure.empty()) a.init_parser();
  return out;
}

}  // namespace

const LibxmlApi& libxml_api() {
  static const Loaded loaded = load();
  if (!loaded.failure.empty()) {
    throw LoadError(load_errc::kUnsupported, "HTML and office document support is not available: libxml2 could not be loaded (" +
                                                 loaded.failure + "). Install libxml2, then retry.");
  }
  return loaded.api;
}

}  // namespace vorn_retrieval::detail
