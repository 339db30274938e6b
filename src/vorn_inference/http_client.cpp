#include "vorn_inference/http_client.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "vorn_inference/errors.hpp"
#include "curl_api.hpp"
#include "curl_multi_engine.hpp"

namespace vorn_inference {
namespace {

// curl_global_init is not thread-safe and must run before any handle
// exists; a function-local static runs it exactly once.
void ensure_curl_initialised() {
  static const CURLcode code = detail::curl_api().global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) {
    throw ModelConnectionError("The HTTP library failed to initialise (" + std::string(detail::curl_api().easy_strerror(code)) +
                               "). Check the TLS installation, then retry.");
  }
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<detail::Transfer*>(user);
  const std::size_t n = size * count;
  if (transfer->received + n > transfer->max_response_bytes) {
    // Returning less than we were given makes curl abort the transfer.
    transfer->over_limit = true;
    return 0;
  }
  transfer->received += n;
  if (transfer->streaming) {
    long status = 0;
    detail::curl_api().easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200 && status < 300) {
      std::lock_guard lock(transfer->mutex);
      transfer->pending.append(data, n);
      transfer->wake_locked();
      return n;
    }
  }
  transfer->response.body.append(data, n);
  return n;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<detail::Transfer*>(user);
  const std::size_t n = size * count;
  std::string_view line(data, n);
  // A status line starts a new response (after a 100 Continue, say): only
  // the headers of the final one count.
  if (line.starts_with("HTTP/")) {
    transfer->response.headers.clear();
    return n;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return n;
  transfer->response.headers.push_back(
      HttpHeader{lower(trim(line.substr(0, colon))), std::string(trim(line.substr(colon + 1)))});
  return n;
}

bool has_line_break(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// Appends a header line, keeping the list valid when curl runs out of memory.
void append_header(detail::Transfer& transfer, const std::string& line) {
  curl_slist* grown = detail::curl_api().slist_append(transfer.header_list, line.c_str());
  if (!grown) throw std::bad_alloc();
  transfer.header_list = grown;
}

std::string detail_of(CURLcode code, const char* error_buffer) {
  return error_buffer[0] != '\0' ? std::string(error_buffer) : std::string(detail::curl_api().easy_strerror(code));
}

[[noreturn]] void throw_transport_error(const detail::Transfer& transfer, const std::string& safe_url,
                                        const HttpClientOptions& options, bool deadline_binds) {
  const CURLcode code = transfer.code;
  if (transfer.over_limit || code == CURLE_FILESIZE_EXCEEDED) {
    throw ModelResponseError("The answer from " + safe_url + " is larger than the limit of " +
                             std::to_string(options.max_response_bytes) +
                             " bytes. Raise `max_response_bytes` or check the endpoint, then retry.");
  }
  if (transfer.outcome == detail::Transfer::Outcome::kQueueTimeout) {
    throw ModelTimeoutError("The request to " + safe_url + " timed out waiting for a free slot (at most " +
                            std::to_string(options.max_in_flight_per_endpoint) +
                            " requests in flight to one endpoint). Raise the timeout or the in-flight limit, "
                            "then retry.");
  }
  const std::string detail = detail_of(code, transfer.error_buffer);
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      if (deadline_binds) {
        throw ModelTimeoutError("The request to " + safe_url + " timed out: the call's deadline passed (" + detail +
                                "). Raise the timeout or check the endpoint, then retry.");
      }
      throw ModelTimeoutError("The request to " + safe_url + " timed out (connect timeout " +
                              std::to_string(options.connect_timeout.count()) + " ms, total timeout " +
                              std::to_string(options.total_timeout.count()) + " ms): " + detail +
                              ". Raise the timeout or check the endpoint, then retry.");
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      throw ModelConfigError("The URL " + safe_url + " cannot be used: " + detail +
                             ". Pass an http:// or https:// base URL and retry.");
    default:
      throw ModelConnectionError("The request to " + safe_url + " failed: " + detail +
                                 ". Check the base URL, the network and the TLS setup, then retry.");
  }
}

// A transfer ready for the I/O thread: handle, headers, limits, deadline.
detail::TransferPtr make_transfer(const HttpClientOptions& options, std::string url, std::string body,
                                  const std::vector<HttpHeader>& headers, const HttpCallOptions& call,
                                  bool& deadline_binds) {
  ensure_curl_initialised();
  auto transfer = std::make_shared<detail::Transfer>();
  transfer->url = std::move(url);
  transfer->body = std::move(body);
  transfer->origin = detail::origin_of(transfer->url);
  transfer->max_in_flight = options.max_in_flight_per_endpoint;
  transfer->max_response_bytes = options.max_response_bytes;
  transfer->streaming = static_cast<bool>(call.on_body);
  const auto own_deadline = detail::Transfer::Clock::now() + options.total_timeout;
  deadline_binds = call.deadline && *call.deadline < own_deadline;
  transfer->deadline = deadline_binds ? *call.deadline : own_deadline;

  transfer->easy = detail::curl_api().easy_init();
  if (!transfer->easy) throw ModelConnectionError("The HTTP library could not create a request handle. Retry later.");
  CURL* h = transfer->easy;

  if (has_line_break(call.accept)) {
    throw ModelConfigError("The Accept value contains a line break. Pass a plain media type and retry.");
  }
  append_header(*transfer, "Content-Type: application/json");
  append_header(*transfer, "Accept: " + (call.accept.empty() ? std::string("application/json") : call.accept));
  // Without this curl waits for a 100 Continue before sending large bodies.
  append_header(*transfer, "Expect:");
  for (const auto& header : headers) {
    // A line break would smuggle in extra headers; the value is not echoed
    // because it may be a credential.
    if (header.name.empty() || has_line_break(header.name)) {
      throw ModelConfigError("An HTTP header name is empty or contains a line break. Pass a plain header name and "
                             "retry.");
    }
    if (has_line_break(header.value)) {
      throw ModelConfigError("The value of the HTTP header " + header.name +
                             " contains a line break. Remove it (a key read from a file often ends with one) and "
                             "retry.");
    }
    append_header(*transfer, header.name + ": " + header.value);
  }

  detail::curl_api().easy_setopt(h, CURLOPT_URL, transfer->url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
  detail::curl_api().easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  detail::curl_api().easy_setopt(h, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  detail::curl_api().easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  // Signals cannot interrupt a thread that is not the main one; timeouts
  // work without them.
  detail::curl_api().easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  detail::curl_api().easy_setopt(h, CURLOPT_POST, 1L);
  detail::curl_api().easy_setopt(h, CURLOPT_POSTFIELDS, transfer->body.data());
  detail::curl_api().easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer->body.size()));
  detail::curl_api().easy_setopt(h, CURLOPT_HTTPHEADER, transfer->header_list);
  detail::curl_api().easy_setopt(h, CURLOPT_USERAGENT, "vorn_rag");
  detail::curl_api().easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  // HTTP/2 over TLS when the server offers it (one connection carries every
  // request to it); plain http stays HTTP/1.1 with keep-alive.
  detail::curl_api().easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  if (transfer->url.starts_with("https://")) detail::curl_api().easy_setopt(h, CURLOPT_PIPEWAIT, 1L);
  detail::curl_api().easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connect_timeout.count()));
  // Refuses early when Content-Length already says too much; the write
  // callback catches bodies without one.
  detail::curl_api().easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.max_response_bytes));
  const bool verify = !options.insecure_disable_tls_verification_for_tests_only;
  detail::curl_api().easy_setopt(h, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
  detail::curl_api().easy_setopt(h, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
  if (!options.ca_bundle_path.empty()) detail::curl_api().easy_setopt(h, CURLOPT_CAINFO, options.ca_bundle_path.c_str());
  detail::curl_api().easy_setopt(h, CURLOPT_WRITEFUNCTION, &on_body);
  detail::curl_api().easy_setopt(h, CURLOPT_WRITEDATA, transfer.get());
  detail::curl_api().easy_setopt(h, CURLOPT_HEADERFUNCTION, &on_header);
  detail::curl_api().easy_setopt(h, CURLOPT_HEADERDATA, transfer.get());
  detail::curl_api().easy_setopt(h, CURLOPT_ERRORBUFFER, transfer->error_buffer);
  detail::curl_api().easy_setopt(h, CURLOPT_PRIVATE, transfer.get());
  return transfer;
}

// The answer of a finished transfer, or the typed error of its failure.
HttpResponse result_of(detail::Transfer& transfer, const HttpClientOptions& options, bool deadline_binds) {
  const std::string safe_url = redact_url(transfer.url);
  if (transfer.outcome == detail::Transfer::Outcome::kCancelled) {
    throw ModelCancelledError("The request to " + safe_url + " was cancelled by its caller.");
  }
  if (transfer.outcome != detail::Transfer::Outcome::kCurl || transfer.code != CURLE_OK) {
    throw_transport_error(transfer, safe_url, options, deadline_binds);
  }
  return std::move(transfer.response);
}

vorn_core::Task<HttpResponse> run_exchange(HttpClientOptions options, std::string url, std::string body,
                                           std::vector<HttpHeader> headers, HttpCallOptions call) {
  bool deadline_binds = false;
  detail::TransferPtr transfer = make_transfer(options, std::move(url), std::move(body), headers, call, deadline_binds);
  if (call.stop.stop_requested()) {
    throw ModelCancelledError("The request to " + redact_url(transfer->url) + " was cancelled by its caller.");
  }
  detail::CurlMultiEngine::instance().submit(transfer);
  detail::TransferGuard guard(transfer);
  auto cancel = [transfer] { detail::CurlMultiEngine::instance().cancel(transfer); };
  std::optional<std::stop_callback<decltype(cancel)>> on_stop;
  if (call.stop.stop_possible()) on_stop.emplace(call.stop, cancel);
  while (true) {
    co_await detail::TransferAwaiter{*transfer};
    std::string piece;
    bool finished = false;
    {
      std::lock_guard lock(transfer->mutex);
      piece.swap(transfer->pending);
      finished = transfer->finished_locked();
    }
    if (!piece.empty() && call.on_body) call.on_body(piece);
    if (finished) break;
  }
  co_return result_of(*transfer, options, deadline_binds);
}

}  // namespace

const std::string* HttpResponse::header(std::string_view name) const noexcept {
  for (const auto& h : headers) {
    if (h.name.size() == name.size() &&
        std::equal(h.name.begin(), h.name.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
      return &h.value;
    }
  }
  return nullptr;
}

HttpClient::HttpClient(HttpClientOptions options) : options_(std::move(options)) {
  if (options_.connect_timeout.count() <= 0 || options_.total_timeout.count() <= 0) {
    throw ModelConfigError("HTTP timeouts must be positive. Pass a `connect_timeout` and a `total_timeout` above 0 ms "
                           "and retry.");
  }
  if (options_.max_response_bytes == 0) {
    throw ModelConfigError("`max_response_bytes` must be positive. Pass a body limit above 0 and retry.");
  }
  if (options_.max_in_flight_per_endpoint == 0) {
    throw ModelConfigError("`max_in_flight_per_endpoint` must be positive. Pass 1 or more and retry.");
  }
}

vorn_core::Task<HttpResponse> HttpClient::post_json_async(std::string url, std::string body,
                                                          std::vector<HttpHeader> headers, HttpCallOptions call) const {
  // A free coroutine with its own copy of the options: the exchange does not
  // depend on this client outliving it.
  return run_exchange(options_, std::move(url), std::move(body), std::move(headers), std::move(call));
}

HttpResponse HttpClient::post_json(const std::string& url, const std::string& body,
                                   const std::vector<HttpHeader>& headers) const {
  bool deadline_binds = false;
  detail::TransferPtr transfer = make_transfer(options_, url, body, headers, HttpCallOptions{}, deadline_binds);
  detail::CurlMultiEngine::instance().submit(transfer);
  {
    std::unique_lock lock(transfer->mutex);
    transfer->finished_cv.wait(lock, [&] { return transfer->finished_locked(); });
  }
  return result_of(*transfer, options_, deadline_binds);
}

std::string redact_url(std::string_view url) {
  std::string_view rest = url;
  std::string scheme;
  if (const auto sep = rest.find("://"); sep != std::string_view::npos) {
    scheme = std::string(rest.substr(0, sep + 3));
    rest.remove_prefix(sep + 3);
  }
  // Query and fragment go first: an '@' or '/' inside them is not structure.
  rest = rest.substr(0, rest.find_first_of("?#"));
  const auto path_start = rest.find('/');
  std::string_view authority = rest.substr(0, path_start);
  const std::string_view path = path_start == std::string_view::npos ? std::string_view() : rest.substr(path_start);
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  return scheme + std::string(authority) + std::string(path);
}

std::optional<std::chrono::milliseconds> parse_retry_after(std::string_view value,
                                                           std::chrono::system_clock::time_point now) {
  value = trim(value);
  if (value.empty()) return std::nullopt;
  if (std::isdigit(static_cast<unsigned char>(value.front()))) {
    double seconds = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec != std::errc() || end != value.data() + value.size() || !std::isfinite(seconds)) return std::nullopt;
    // A year is far beyond any sensible wait; it also keeps the cast in range.
    seconds = std::min(seconds, 365.0 * 24 * 3600);
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(seconds * 1000)));
  }
  const std::string text(value);
  const time_t when = detail::curl_api().getdate(text.c_str(), nullptr);
  if (when == -1) return std::nullopt;
  const auto delta = std::chrono::system_clock::from_time_t(when) - now;
  if (delta <= std::chrono::system_clock::duration::zero()) return std::chrono::milliseconds(0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(delta);
}

}  // namespace vorn_inference
