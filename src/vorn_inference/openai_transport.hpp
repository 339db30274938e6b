// Private to vorn_inference: the request loop the OpenAI-compatible clients
// share (credentials, retries, status mapping, JSON decoding). Kept out of
// include/ so that nlohmann does not become part of the public interface.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include <nlohmann/json.hpp>

#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_inference/http_client.hpp"
#include "vorn_inference/openai_endpoint.hpp"

namespace vorn_inference::detail {

// An API key that cannot end up in a message by accident: there is no
// conversion to text besides `reveal()`, which only the header builder calls.
class ApiKey {
 public:
  ApiKey() = default;
  explicit ApiKey(std::string key) : key_(std::move(key)) {}
  // The key from the environment variable, whitespace trimmed; empty when
  // the variable is unset or empty.
  static ApiKey from_environment(const std::string& variable);

  bool empty() const noexcept { return key_.empty(); }
  const std::string& reveal() const noexcept { return key_; }
  // `text` with every occurrence of the key replaced: for anything the
  // endpoint sent back, which may quote the key. Keys under 8 characters
  // are placeholders, not secrets, and are left alone so that ordinary text
  // is never mangled.
  std::string scrub(std::string text) const;

 private:
  std::string key_;
};

// What a caller adds to one call besides the endpoint's own settings.
struct CallControl {
  // The caller's own end of the call; the sooner of it and the endpoint's
  // `call_timeout` bounds every attempt and wait.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // Stops the call: the transfer is dropped, a retry wait ends.
  std::stop_token stop;
};

class OpenAITransport {
 public:
  // Throws `ModelConfigError` for a base URL that is not http(s), a negative
  // retry setting, or a missing key the endpoint requires.
  explicit OpenAITransport(OpenAIEndpointOptions options);

  // POSTs the JSON `body` to the operation `path` ("/chat/completions") and
  // returns the decoded body of the 2xx answer, retrying as the policy says.
  // Never blocks the event loop: exchanges and waits suspend the caller.
  vorn_core::Task<nlohmann::json> post(std::string path, std::string body, CallControl control = {}) const;

  // The same call with the 2xx body streamed to `on_body` as it arrives
  // (`accept` is the media type asked for). Once a piece went out the call
  // is not retried: the caller would see the text twice.
  vorn_core::Task<void> post_streaming(std::string path, std::string body, std::string accept,
                                       std::function<void(std::string_view)> on_body, CallControl control = {}) const;

  // The operation's URL as messages may show it.
  std::string safe_url(std::string_view path) const;
  const OpenAIEndpointOptions& options() const noexcept { return options_; }
  const ApiKey& api_key() const noexcept { return api_key_; }

 private:
  vorn_core::Task<HttpResponse> exchange(std::string path, std::string body, HttpCallOptions call,
                                         CallControl control, const bool* delivered) const;

  OpenAIEndpointOptions options_;
  HttpClient client_;
  ApiKey api_key_;
};

// What one finished exchange means to the caller, retries aside: the decoded
// body of a 2xx answer, else the typed error its status maps to
// (`ModelAuthError`, `ModelHTTPError`, `ModelResponseError` for a 2xx body
// that is not JSON). Kept apart from the request loop so that the handling
// of whatever an endpoint sends can be exercised without a socket.
nlohmann::json decode_response(const OpenAITransport& transport, std::string_view path, const HttpResponse& response);

// Serialises a request body; text that is not valid UTF-8 (a chunk cut in
// the middle of a character) is replaced rather than refused.
std::string dump_request(const nlohmann::json& body);

// A short, single-line, scrubbed excerpt of text from the wire for messages.
std::string excerpt(const ApiKey& key, std::string_view text, std::size_t limit = 300);

// Converts JSON to a `Value` when it is small and shallow enough to convert
// safely (the conversion recurses and dict lookups are linear); absent
// otherwise.
std::optional<vorn_core::Value> bounded_value_from_json(const nlohmann::json& json);

}  // namespace vorn_inference::detail
