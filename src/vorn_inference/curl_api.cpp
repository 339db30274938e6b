#include "curl_api.hpp"

#include <dlfcn.h>

#include <string>

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
  void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    out.failure = why != nullptr ? why : "not found";
    return out;
  }
  const auto resolve = [&](auto& slot, const char* name) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(::dlsym(handle, name));
    if (slot == nullptr && out.failure.empty()) out.failure = std::string(kLibrary) + " lacks " + name;
  };
  CurlApi& a = out.api;
  resolve(a.global_init, "curl_global_init");
  resolve(a.easy_init, "curl_easy_init");
  resolve(a.easy_cleanup, "curl_easy_cleanup");
  resolve(a.easy_setopt, "curl_easy_setopt");
  resolve(a.easy_getinfo, "curl_easy_getinfo");
  resolve(a.easy_strerror, "curl_easy_strerror");
  resolve(a.slist_append, "curl_slist_append");
  resolve(a.slist_free_all, "curl_slist_free_all");
  resolve(a.getdate, "curl_getdate");
  resolve(a.multi_init, "curl_multi_init");
  resolve(a.multi_cleanup, "curl_multi_cleanup");
  resolve(a.multi_setopt, "curl_multi_setopt");
  resolve(a.multi_add_handle, "curl_multi_add_handle");
  resolve(a.multi_remove_handle, "curl_multi_remove_handle");
  resolve(a.multi_perform, "curl_multi_perform");
  resolve(a.multi_poll, "curl_multi_poll");
  resolve(a.multi_wakeup, "curl_multi_wakeup");
  resolve(a.multi_timeout, "curl_multi_timeout");
  resolve(a.multi_info_read, "curl_multi_info_read");
  // The handle stays open for the life of the process: handles and
  // callbacks of the library may outlive any owner here.
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
