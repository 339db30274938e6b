// libcurl, loaded on the first model call rather than linked: linked, it and
// the thirty-odd libraries it brings (TLS, Kerberos, LDAP, SSH, ...) cost
// every start of every program about 8 ms of loading, and most runs (an
// offline `ask`, `index`, `--version`) never call a model.
#pragma once

#include <curl/curl.h>

namespace vorn_inference::detail {

// The libcurl functions this library calls, resolved from libcurl.so.4.
struct CurlApi {
  decltype(&::curl_global_init) global_init;
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_easy_strerror) easy_strerror;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
  decltype(&::curl_getdate) getdate;
  decltype(&::curl_multi_init) multi_init;
  decltype(&::curl_multi_cleanup) multi_cleanup;
  decltype(&::curl_multi_setopt) multi_setopt;
  decltype(&::curl_multi_add_handle) multi_add_handle;
  decltype(&::curl_multi_remove_handle) multi_remove_handle;
  decltype(&::curl_multi_perform) multi_perform;
  decltype(&::curl_multi_poll) multi_poll;
  decltype(&::curl_multi_wakeup) multi_wakeup;
  decltype(&::curl_multi_timeout) multi_timeout;
  decltype(&::curl_multi_info_read) multi_info_read;
};

// Loads libcurl the first time (thread-safe); throws ModelConnectionError
// when it is not installed or lacks a function.
const CurlApi& curl_api();

}  // namespace vorn_inference::detail
