#include "libxml_api.hpp"

#include <dlfcn.h>

#include <string>
#include <type_traits>

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
  void* handle = ::dlopen(VORN_LIBXML2_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    out.failure = why != nullptr ? why : VORN_LIBXML2_SONAME " not found";
    return out;
  }
  const auto resolve = [&](auto& slot, const char* name) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(::dlsym(handle, name));
    if (slot == nullptr && out.failure.empty()) out.failure = std::string(VORN_LIBXML2_SONAME " lacks ") + name;
  };
  LibxmlApi& a = out.api;
  resolve(a.init_parser, "xmlInitParser");
  resolve(a.html_read_memory, "htmlReadMemory");
  resolve(a.doc_get_root_element, "xmlDocGetRootElement");
  resolve(a.free_doc, "xmlFreeDoc");
  // Before any parse, once: the parser's global state is not thread-safe
  // to set up on the fly.
  if (out.failure.empty()) a.init_parser();
  return out;
}

}  // namespace

const LibxmlApi& libxml_api() {
  static const Loaded loaded = load();
  if (!loaded.failure.empty()) {
    throw LoadError(load_errc::kUnsupported, "HTML support is not available: the HTML library could not be loaded (" +
                                                 loaded.failure + "). Install libxml2, then retry.");
  }
  return loaded.api;
}

}  // namespace vorn_retrieval::detail
