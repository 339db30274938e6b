// Where an OpenAI-compatible endpoint lives and how hard to try it: shared
// by the chat and the embedding clients.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "vorn_inference/http_client.hpp"

namespace vorn_inference {

// Retries cover answers that say "try again" (408, 429, 5xx), timeouts and
// network failures; anything else fails at once. No retry starts when its
// wait would end past the call's deadline.
struct RetryPolicy {
  // Retries after the first attempt; 0 tries once.
  int max_retries = 3;
  // Wait before the first retry, doubled for each further one up to
  // `max_backoff`; each wait is scaled by a random factor in [0.5, 1] so that
  // many clients do not retry in lockstep.
  std::chrono::milliseconds initial_backoff{500};
  std::chrono::milliseconds max_backoff{20'000};
  // A Retry-After header replaces the backoff, up to this long.
  std::chrono::milliseconds max_retry_after{60'000};
};

struct OpenAIEndpointOptions {
  // A bare host gets "/v1"; a URL with a path is used as given, so
  // "http://localhost:8000", "http://localhost:8000/v1" and a provider's
  // "https://host/v1beta/openai" all work.
  std::string base_url = "https://api.openai.com/v1";
  // Name of the environment variable holding the API key, read once at
  // construction. Unset or empty is an error (`ModelConfigError`) unless
  // `api_key_required` is false (a local server that needs no key).
  std::string api_key_env = "OPENAI_API_KEY";
  // False: the endpoint needs no key; without one no Authorization header
  // is sent. An empty `api_key_env` means the same.
  bool api_key_required = true;
  RetryPolicy retry;
  HttpClientOptions http;
  // Bounds one whole call: every attempt, every wait between attempts and
  // any wait for a free slot. Zero: no bound besides the per-attempt
  // `http.total_timeout` and the retry policy.
  std::chrono::milliseconds call_timeout{0};
};

// Base URL plus an operation path ("/chat/completions"), as described above.
std::string endpoint_url(std::string_view base_url, std::string_view path);

// Wait before retry `retry` (1 for the first) for a random `unit` in [0, 1).
std::chrono::milliseconds backoff_delay(const RetryPolicy& policy, int retry, double unit);

// Whether an answer with this status is worth another attempt.
bool is_retryable_status(long status) noexcept;

}  // namespace vorn_inference
