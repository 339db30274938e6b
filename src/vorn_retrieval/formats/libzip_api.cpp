#include "libzip_api.hpp"

#include <string>

#include "vorn_core/shared_library.hpp"
#include "vorn_retrieval/document_loader.hpp"

namespace vorn_retrieval::detail {
namespace {

struct Loaded {
  LibzipApi api{};
  std::string failure;  // empty once loaded
};

Loaded load() {
  Loaded out;
  // The soname of the libzip this build was compiled against.
  vorn_core::SharedLibrary library(VORN_LIBZIP_SONAME);
  LibzipApi& a = out.api;
  library.resolve(a.error_init, "zip_error_init");
  library.resolve(a.error_fini, "zip_error_fini");
  library.resolve(a.error_strerror, "zip_error_strerror");
  library.resolve(a.error_code_zip, "zip_error_code_zip");
  library.resolve(a.source_buffer_create, "zip_source_buffer_create");
  library.resolve(a.source_free, "zip_source_free");
  library.resolve(a.open_from_source, "zip_open_from_source");
  library.resolve(a.discard, "zip_discard");
  library.resolve(a.name_locate, "zip_name_locate");
  library.resolve(a.fopen_index, "zip_fopen_index");
  library.resolve(a.fread, "zip_fread");
  library.resolve(a.fclose, "zip_fclose");
  library.resolve(a.get_error, "zip_get_error");
  library.resolve(a.file_get_error, "zip_file_get_error");
  out.failure = library.failure();
  return out;
}

}  // namespace

const LibzipApi& libzip_api() {
  static const Loaded loaded = load();
  if (!loaded.failure.empty()) {
    throw LoadError(load_errc::kUnsupported, "Office document and e-book support is not available: libzip could not be "
                                             "loaded (" + loaded.failure + "). Install libzip, then retry.");
  }
  return loaded.api;
}

}  // namespace vorn_retrieval::detail
