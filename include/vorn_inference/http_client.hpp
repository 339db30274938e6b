// A small blocking HTTP client for JSON APIs, over libcurl.
//
// One request per call on a fresh handle, so a client may be shared by any
// number of threads. Every exchange is bounded: a connect timeout, a total
// timeout and a response-body limit checked while the body arrives (a huge
// or endless answer is cut off, not buffered). TLS peer and host
// verification are on; the only way to turn them off is an option whose name
// says it is for tests. Nothing is logged, least of all headers: they carry
// credentials.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_inference {

struct HttpClientOptions {
  // Time to establish the connection (TCP and TLS).
  std::chrono::milliseconds connect_timeout{10'000};
  // Time for the whole exchange, connection included. Language models can
  // take a while on long answers; lower it for interactive use.
  std::chrono::milliseconds total_timeout{120'000};
  // Largest response body accepted (after content decoding).
  std::size_t max_response_bytes = 8 * 1024 * 1024;
  // PEM bundle of trusted CAs; empty: the system store.
  std::string ca_bundle_path;
  // DANGER: turns off TLS peer and host verification, so anyone on the path
  // can read the API key. Only for tests against a self-signed local server.
  bool insecure_disable_tls_verification_for_tests_only = false;
};

struct HttpHeader {
  std::string name;
  std::string value;
};

struct HttpResponse {
  long status = 0;
  std::string body;
  // Headers of the final response, names in lower case.
  std::vector<HttpHeader> headers;

  // The first header of that name (case-insensitive), or nullptr.
  const std::string* header(std::string_view name) const noexcept;
};

class HttpClient {
 public:
  // Throws `ModelConfigError` for non-positive timeouts or a zero body limit.
  explicit HttpClient(HttpClientOptions options = {});

  // POSTs `body` as application/json and returns the answer, whatever its
  // status. Blocks the calling thread until the exchange ends, at the latest
  // after `total_timeout`. Only http and https URLs; redirects are not
  // followed (they would carry the credentials elsewhere).
  //
  // Throws `ModelTimeoutError` (a timeout passed), `ModelConnectionError`
  // (the exchange failed on the network or in TLS), `ModelResponseError`
  // (the body exceeds the limit) and `ModelConfigError` (a URL curl cannot
  // use, a header with a line break). Messages name the URL without its
  // query, user info or fragment, and never a header.
  HttpResponse post_json(const std::string& url, const std::string& body,
                         const std::vector<HttpHeader>& headers = {}) const;

  const HttpClientOptions& options() const noexcept { return options_; }

 private:
  HttpClientOptions options_;
};

// The URL as messages and logs may show it: scheme, host, port and path;
// user info, query and fragment dropped (they can hold credentials).
std::string redact_url(std::string_view url);

// The wait a Retry-After header asks for: delta-seconds (fractions allowed)
// or an HTTP-date relative to `now`; a date in the past is zero. Absent when
// the value is neither.
std::optional<std::chrono::milliseconds> parse_retry_after(
    std::string_view value, std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace vorn_inference
