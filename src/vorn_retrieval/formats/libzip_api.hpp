// libzip, loaded on the first office document or e-book rather than linked:
// it brings the crypto library with it, which every start of every program
// would otherwise pay for, and most runs read no such file.
#pragma once

#include <zip.h>

namespace vorn_retrieval::detail {

// The libzip functions the package reader calls.
struct LibzipApi {
  decltype(&::zip_error_init) error_init;
  decltype(&::zip_error_fini) error_fini;
  decltype(&::zip_error_strerror) error_strerror;
  decltype(&::zip_error_code_zip) error_code_zip;
  decltype(&::zip_source_buffer_create) source_buffer_create;
  decltype(&::zip_source_free) source_free;
  decltype(&::zip_open_from_source) open_from_source;
  decltype(&::zip_discard) discard;
  decltype(&::zip_name_locate) name_locate;
  decltype(&::zip_fopen_index) fopen_index;
  decltype(&::zip_fread) fread;
  decltype(&::zip_fclose) fclose;
  decltype(&::zip_get_error) get_error;
  decltype(&::zip_file_get_error) file_get_error;
};

// Loads libzip the first time (thread-safe); throws
// LoadError(VORN-LOAD-UNSUPPORTED) when it is not installed.
const LibzipApi& libzip_api();

}  // namespace vorn_retrieval::detail
