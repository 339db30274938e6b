// A small HTTP client for JSON APIs, over libcurl.
//
// Every exchange runs on one shared I/O thread (libcurl's multi interface),
// so awaiting `post_json_async` never blocks the event loop: exchanges
// started together overlap, and exchanges with the same endpoint reuse its
// kept-alive connections (HTTP/2 over TLS when the server offers it). A
// client may be shared by any number of threads and loops. Each endpoint
// (scheme, host and port) has at most `max_in_flight_per_endpoint` requests
// on the wire; more wait their turn.
//
// Every exchange is bounded: a connect timeout, a total timeout, an optional
// deadline of the caller, and a response-body limit checked while the body
// arrives (a huge or endless answer is cut off, not buffered). TLS peer and
// host verification are on; the only way to turn them off is an option
// whose name says it is for tests. Redirects are not followed. Nothing is
// logged, least of all headers: they carry credentials.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_core/task.hpp"

namespace vorn_inference {

struct HttpClientOptions {
  // Time to establish the connection (TCP and TLS).
  std::chrono::milliseconds connect_timeout{10'000};
  // Time for the whole exchange, connection included. Language models can
  // take a while on long answers; lower it for interactive use.
  std::chrono::milliseconds total_timeout{120'000};
  // Largest response body accepted (after content decoding).
  std::size_t max_response_bytes = 8 * 1024 * 1024;
  // Requests on the wire at once to one endpoint (scheme, host and port),
  // counted across every client of the process that talks to it.
  std::size_t max_in_flight_per_endpoint = 16;
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

// What one call may add to the client's options.
struct HttpCallOptions {
  // Absolute end of the exchange, time queued for a free slot included;
  // whichever of it and `total_timeout` comes first ends the exchange.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // A stop request ends the exchange at once (the connection is dropped)
  // with `ModelCancelledError`.
  std::stop_token stop;
  // The Accept header.
  std::string accept = "application/json";
  // When set, the body of a 2xx answer is handed here piece by piece as it
  // arrives, on the awaiting coroutine's thread, instead of being kept in
  // `HttpResponse::body` (bodies of other statuses are kept as usual). An
  // exception it throws stops the exchange and propagates.
  std::function<void(std::string_view)> on_body;
};

class HttpClient {
 public:
  // Throws `ModelConfigError` for non-positive timeouts, a zero body limit
  // or a zero in-flight limit.
  explicit HttpClient(HttpClientOptions options = {});

  // POSTs `body` as application/json and returns the answer, whatever its
  // status. The awaiting coroutine is suspended while the exchange runs on
  // the I/O thread and resumed on its own event loop; outside a loop the
  // thread waits. Only http and https URLs; redirects are not followed (they
  // would carry the credentials elsewhere). Destroying the awaiting frame
  // stops the exchange.
  //
  // Throws `ModelTimeoutError` (a timeout or the deadline passed),
  // `ModelCancelledError` (`call.stop` was requested),
  // `ModelConnectionError` (the exchange failed on the network or in TLS),
  // `ModelResponseError` (the body exceeds the limit) and `ModelConfigError`
  // (a URL curl cannot use, a header with a line break). Messages name the
  // URL without its query, user info or fragment, and never a header.
  vorn_core::Task<HttpResponse> post_json_async(std::string url, std::string body, std::vector<HttpHeader> headers = {},
                                                HttpCallOptions call = {}) const;

  // The same exchange, blocking the calling thread until it ends.
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
