#include "openai_transport.hpp"

#include <cctype>
#include <cstdlib>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "vorn_core/event_loop.hpp"
#include "vorn_core/json.hpp"
#include "vorn_core/logger.hpp"
#include "vorn_inference/errors.hpp"

namespace vorn_inference::detail {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// Structured answers and usage blocks are small; these bounds only stop a
// hostile or broken endpoint from making the conversion recurse or spin.
constexpr std::size_t kMaxJsonDepth = 64;
constexpr std::size_t kMaxJsonNodes = 100'000;
constexpr std::size_t kMaxObjectKeys = 10'000;

vorn_core::Logger& logger() { return vorn_core::LoggerManager().get_logger("vorn_inference"); }

double random_unit() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

std::vector<HttpHeader> auth_headers(const ApiKey& key) {
  std::vector<HttpHeader> headers;
  if (!key.empty()) headers.push_back(HttpHeader{"Authorization", "Bearer " + key.reveal()});
  return headers;
}

// The most telling part of an error body: OpenAI's error.message, a
// FastAPI-style detail, or the text itself.
std::string error_detail(const ApiKey& key, const std::string& body) {
  const json parsed = json::parse(body, nullptr, false);
  if (!parsed.is_discarded() && parsed.is_object()) {
    const auto error = parsed.find("error");
    if (error != parsed.end()) {
      if (error->is_object()) {
        const auto message = error->find("message");
        if (message != error->end() && message->is_string()) return excerpt(key, message->get<std::string>());
      } else if (error->is_string()) {
        return excerpt(key, error->get<std::string>());
      }
    }
    const auto detail = parsed.find("detail");
    if (detail != parsed.end() && detail->is_string()) return excerpt(key, detail->get<std::string>());
  }
  return body.empty() ? std::string("empty body") : excerpt(key, body);
}

[[noreturn]] void throw_status_error(const OpenAITransport& transport, const std::string& safe_url,
                                     const HttpResponse& response, int attempts) {
  const int status = static_cast<int>(response.status);
  const std::string detail = error_detail(transport.api_key(), response.body);
  const std::string& variable = transport.options().api_key_env;
  if (status == 401 || status == 403) {
    const std::string hint = transport.api_key().empty()
                                 ? "No API key was sent: the environment variable " + variable +
                                       " is unset or empty. Set it and retry."
                                 : "Check the API key in the environment variable " + variable +
                                       " and its permissions, then retry.";
    throw ModelAuthError(status, "The model endpoint " + safe_url + " refused the credentials (HTTP " +
                                     std::to_string(status) + ": " + detail + "). " + hint);
  }
  const std::string tries = attempts > 1 ? " after " + std::to_string(attempts) + " attempts" : "";
  const std::string hint = status == 429 ? "Lower the request rate or raise `max_retries`, then retry."
                                         : "Check the request and the endpoint, then retry.";
  throw ModelHTTPError(status, "The model endpoint " + safe_url + " answered HTTP " + std::to_string(status) + tries +
                                   ": " + detail + ". " + hint);
}

// The last network failure, saying how often it was tried.
[[noreturn]] void throw_transport_failure(std::exception_ptr failure, int attempts) {
  if (attempts <= 1) std::rethrow_exception(failure);
  const std::string prefix = "Gave up after " + std::to_string(attempts) + " attempts. ";
  try {
    std::rethrow_exception(failure);
  } catch (const ModelTimeoutError& e) {
    ModelTimeoutError wrapped(prefix + e.message());
    wrapped.set_cause(failure);
    throw wrapped;
  } catch (const ModelConnectionError& e) {
    ModelConnectionError wrapped(prefix + e.message());
    wrapped.set_cause(failure);
    throw wrapped;
  }
}

milliseconds retry_wait(const RetryPolicy& policy, const std::optional<HttpResponse>& response, int retry) {
  if (response) {
    // OpenAI's millisecond variant first, then the standard header.
    std::optional<milliseconds> asked;
    if (const std::string* ms = response->header("retry-after-ms")) {
      if (auto seconds = parse_retry_after(*ms)) asked = milliseconds(seconds->count() / 1000);
    }
    if (!asked) {
      if (const std::string* value = response->header("retry-after")) asked = parse_retry_after(*value);
    }
    if (asked) return std::min(*asked, policy.max_retry_after);
  }
  return backoff_delay(policy, retry, random_unit());
}

json decode_success(const OpenAITransport& transport, const std::string& safe_url, const HttpResponse& response) {
  json parsed = json::parse(response.body, nullptr, false);
  if (parsed.is_discarded()) {
    throw ModelResponseError("The model endpoint " + safe_url + " answered HTTP " + std::to_string(response.status) +
                             " with a body that is not JSON: " + excerpt(transport.api_key(), response.body) +
                             ". Check that the base URL points at an OpenAI-compatible API, then retry.");
  }
  return parsed;
}

// The wait between attempts: on the loop when one runs (in short slices, so
// that a stop request ends it soon), else in this thread.
vorn_core::Task<void> wait_for(milliseconds delay, std::stop_token stop, const std::string& safe_url) {
  constexpr milliseconds kSlice{25};
  const auto until = std::chrono::steady_clock::now() + delay;
  while (true) {
    if (stop.stop_requested()) {
      throw ModelCancelledError("The call to " + safe_url + " was cancelled by its caller while waiting to retry.");
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) co_return;
    const auto step = std::min<std::chrono::steady_clock::duration>(until - now, kSlice);
    if (vorn_core::EventLoop::current()) {
      co_await vorn_core::sleep_for(step);
    } else {
      std::this_thread::sleep_for(step);
    }
  }
}

}  // namespace

ApiKey ApiKey::from_environment(const std::string& variable) {
  if (variable.empty()) return ApiKey();
  const char* raw = std::getenv(variable.c_str());
  if (!raw) return ApiKey();
  std::string_view key(raw);
  while (!key.empty() && std::isspace(static_cast<unsigned char>(key.front()))) key.remove_prefix(1);
  while (!key.empty() && std::isspace(static_cast<unsigned char>(key.back()))) key.remove_suffix(1);
  return ApiKey(std::string(key));
}

std::string ApiKey::scrub(std::string text) const {
  // A key this short is a placeholder that a local server accepts ("none",
  // "x"), not a secret; replacing it would mangle ordinary words instead.
  constexpr std::size_t kShortestSecret = 8;
  if (key_.size() < kShortestSecret) return text;
  for (auto pos = text.find(key_); pos != std::string::npos; pos = text.find(key_, pos)) {
    text.replace(pos, key_.size(), "[REDACTED]");
    pos += 10;
  }
  return text;
}

OpenAITransport::OpenAITransport(OpenAIEndpointOptions options)
    : options_(std::move(options)), client_(options_.http), api_key_(ApiKey::from_environment(options_.api_key_env)) {
  const std::string& base = options_.base_url;
  if (!base.starts_with("http://") && !base.starts_with("https://")) {
    throw ModelConfigError("The base URL " + vorn_core::quote(redact_url(base)) +
                           " is not an http:// or https:// URL. Pass the endpoint's URL and retry.");
  }
  if (options_.api_key_required && !options_.api_key_env.empty() && api_key_.empty()) {
    throw ModelConfigError("The environment variable " + options_.api_key_env +
                           " that should hold the API key is unset or empty. Set it, or say that the endpoint needs "
                           "no key (`api_key_required = false`; `--no-api-key` on the command line), and retry.");
  }
  const RetryPolicy& retry = options_.retry;
  if (retry.max_retries < 0 || retry.initial_backoff.count() < 0 || retry.max_backoff.count() < 0 ||
      retry.max_retry_after.count() < 0 || options_.call_timeout.count() < 0) {
    throw ModelConfigError("Retry settings must not be negative. Pass `max_retries`, `call_timeout` and waits of 0 or "
                           "more and retry.");
  }
}

std::string OpenAITransport::safe_url(std::string_view path) const {
  return redact_url(endpoint_url(options_.base_url, path));
}

vorn_core::Task<HttpResponse> OpenAITransport::exchange(std::string path, std::string body, HttpCallOptions call,
                                                        CallControl control, const bool* delivered) const {
  const std::string url = endpoint_url(options_.base_url, path);
  const std::string safe = redact_url(url);
  const std::vector<HttpHeader> headers = auth_headers(api_key_);
  const int attempts = options_.retry.max_retries + 1;
  std::optional<std::chrono::steady_clock::time_point> deadline = control.deadline;
  if (options_.call_timeout.count() > 0) {
    const auto own = std::chrono::steady_clock::now() + options_.call_timeout;
    deadline = deadline ? std::min(*deadline, own) : own;
  }
  call.deadline = deadline;
  call.stop = control.stop;
  for (int attempt = 1;; ++attempt) {
    std::optional<HttpResponse> response;
    std::exception_ptr failure;
    try {
      auto pending = client_.post_json_async(url, body, headers, call);
      response = co_await std::move(pending);
    } catch (const ModelTimeoutError&) {
      failure = std::current_exception();
    } catch (const ModelConnectionError&) {
      failure = std::current_exception();
    }
    if (response && response->status >= 200 && response->status < 300) co_return std::move(*response);
    if (response && !is_retryable_status(response->status)) throw_status_error(*this, safe, *response, attempt);
    // Text already handed out cannot be taken back: no second attempt.
    const bool final_attempt = attempt >= attempts || (delivered && *delivered);
    if (final_attempt) {
      if (failure) throw_transport_failure(failure, attempt);
      throw_status_error(*this, safe, *response, attempt);
    }
    const milliseconds delay = retry_wait(options_.retry, response, attempt);
    const std::string reason = response ? "HTTP " + std::to_string(response->status)
                                        : api_key_.scrub(vorn_core::exception_message(failure));
    if (deadline && std::chrono::steady_clock::now() + delay >= *deadline) {
      ModelTimeoutError out_of_time("The call to " + safe + " ran out of its deadline after " +
                                    std::to_string(attempt) + (attempt > 1 ? " attempts" : " attempt") +
                                    " (the last ended with " + reason +
                                    "). Raise the timeout or check the endpoint, then retry.");
      if (failure) out_of_time.set_cause(failure);
      throw out_of_time;
    }
    logger().warning("Retrying the request to " + safe + " in " + std::to_string(delay.count()) + " ms (retry " +
                     std::to_string(attempt) + " of " + std::to_string(attempts - 1) + "): " + reason);
    co_await wait_for(delay, control.stop, safe);
  }
}

vorn_core::Task<json> OpenAITransport::post(std::string path, std::string body, CallControl control) const {
  const std::string safe = safe_url(path);
  // Arguments built by statements: g++ 12 mishandles temporaries in a
  // co_await operand.
  HttpCallOptions call;
  auto pending = exchange(std::move(path), std::move(body), std::move(call), std::move(control), nullptr);
  const HttpResponse response = co_await std::move(pending);
  co_return decode_success(*this, safe, response);
}

vorn_core::Task<void> OpenAITransport::post_streaming(std::string path, std::string body, std::string accept,
                                                      std::function<void(std::string_view)> on_body,
                                                      CallControl control) const {
  bool delivered = false;
  HttpCallOptions call;
  call.accept = std::move(accept);
  call.on_body = [&delivered, &on_body](std::string_view piece) {
    delivered = true;
    on_body(piece);
  };
  auto pending = exchange(std::move(path), std::move(body), std::move(call), std::move(control), &delivered);
  co_await std::move(pending);
}

json decode_response(const OpenAITransport& transport, std::string_view path, const HttpResponse& response) {
  const std::string safe = transport.safe_url(path);
  if (response.status >= 200 && response.status < 300) return decode_success(transport, safe, response);
  throw_status_error(transport, safe, response, 1);
}

std::string dump_request(const json& body) { return body.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string excerpt(const ApiKey& key, std::string_view text, std::size_t limit) {
  // Scrub before cutting, so a key split by the cut cannot survive.
  std::string scrubbed = key.scrub(std::string(text));
  std::string out;
  out.reserve(std::min(scrubbed.size(), limit) + 3);
  for (const char c : scrubbed) {
    if (out.size() >= limit) {
      // Cut on a character boundary: drop a partial UTF-8 sequence.
      while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
      if (!out.empty() && (static_cast<unsigned char>(out.back()) & 0x80) != 0) out.pop_back();
      out += "...";
      break;
    }
    out += std::iscntrl(static_cast<unsigned char>(c)) ? ' ' : c;
  }
  return out;
}

std::optional<vorn_core::Value> bounded_value_from_json(const json& root) {
  // Iterative walk: the check itself must not recurse on deep input.
  std::vector<std::pair<const json*, std::size_t>> pending;
  pending.emplace_back(&root, 1);
  std::size_t nodes = 0;
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (++nodes > kMaxJsonNodes || depth > kMaxJsonDepth) return std::nullopt;
    if (node->is_object() && node->size() > kMaxObjectKeys) return std::nullopt;
    if (node->is_structured()) {
      for (const json& child : *node) pending.emplace_back(&child, depth + 1);
    }
  }
  return vorn_core::from_json(root);
}

}  // namespace vorn_inference::detail
