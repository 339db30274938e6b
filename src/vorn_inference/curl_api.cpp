#include "curl_api.hpp"

#include <string>

#include "vorn_core/shared_library.hpp"
#include "vorn_inference/errors.hpp"

namespace vorn_inference::detail {
namespace {

// The soname of the libcurl this build was compiled against.
constexpr const char* kLibrary = VORN_CURL_SONAME;

struct Loaded {
  CurlApi api{};
  std::string failure;  // empty once loaded
};

Loaded load() {
  Loaded out;
  vorn_core::SharedLibrary library(kLibrary);
  CurlApi& a = out.api;
  library.resolve(a.global_init, "curl_global_init");
  library.resolve(a.easy_init, "curl_easy_init");
  library.resolve(a.easy_cleanup, "curl_easy_cleanup");
  library.resolve(a.easy_setopt, "curl_easy_setopt");
  library.resolve(a.easy_getinfo, "curl_easy_getinfo");
  library.resolve(a.easy_strerror, "curl_easy_strerror");
  library.resolve(a.slist_append, "curl_slist_append");
  library.resolve(a.slist_free_all, "curl_slist_free_all");
  library.resolve(a.getdate, "curl_getdate");
  library.resolve(a.multi_init, "curl_multi_init");
  library.resolve(a.multi_cleanup, "curl_multi_cleanup");
  library.resolve(a.multi_setopt, "curl_multi_setopt");
  library.resolve(a.multi_add_handle, "curl_multi_add_handle");
  library.resolve(a.multi_remove_handle, "curl_multi_remove_handle");
  library.resolve(a.multi_perform, "curl_multi_perform");
  library.resolve(a.multi_poll, "curl_multi_poll");
  library.resolve(a.multi_wakeup, "curl_multi_wakeup");
  library.resolve(a.multi_timeout, "curl_multi_timeout");
  library.resolve(a.multi_info_read, "curl_multi_info_read");
  out.failure = library.failure();
  return out;
}

}  // namespace

const CurlApi& curl_api() {
  static const Loaded loaded = load();
  if (!loaded.failure.empty()) {
    throw ModelConnectionError("The HTTP library could not be loaded (" + loaded.failure +
                               "). Install libcurl (Debian: libcurl4), then retry.");
  }
  return loaded.api;
}

}  // namespace vorn_inference::detail
