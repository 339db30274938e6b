#include "vorn_inference/openai_endpoint.hpp"

#include <algorithm>

namespace vorn_inference {

std::string endpoint_url(std::string_view base_url, std::string_view path) {
  while (base_url.ends_with('/')) base_url.remove_suffix(1);
  std::string url(base_url);
  // A bare host ("http://localhost:8000") means the usual version prefix.
  const auto scheme_end = url.find("://");
  const auto host_start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  if (url.find('/', host_start) == std::string::npos) url += "/v1";
  if (!path.starts_with('/')) url += '/';
  url += path;
  return url;
}

std::chrono::milliseconds backoff_delay(const RetryPolicy& policy, int retry, double unit) {
  using std::chrono::milliseconds;
  milliseconds delay = std::max(policy.initial_backoff, milliseconds(0));
  // Doubling with a cap; stops early so the count cannot overflow.
  for (int i = 1; i < retry && delay < policy.max_backoff; ++i) delay *= 2;
  delay = std::min(delay, std::max(policy.max_backoff, milliseconds(0)));
  const double factor = 0.5 + 0.5 * std::clamp(unit, 0.0, 1.0);
  return milliseconds(static_cast<milliseconds::rep>(static_cast<double>(delay.count()) * factor));
}

bool is_retryable_status(long status) noexcept {
  return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

}  // namespace vorn_inference
