#include "metrics.hpp"

#include <cstdio>

namespace vorn_serve {

const char* route_label(Route route) noexcept {
  switch (route) {
    case Route::kAsk: return "/v1/ask";
    case Route::kSearch: return "/v1/search";
    case Route::kSources: return "/v1/sources";
    case Route::kChat: return "/v1/chat/completions";
    case Route::kModels: return "/v1/models";
    case Route::kHealth: return "/healthz";
    case Route::kMetrics: return "/metrics";
    case Route::kPage: return "/";
    default: return "other";
  }
}

void Metrics::request_finished(Route route, int status, double seconds) noexcept {
  const auto r = static_cast<std::size_t>(route);
  const int status_class = status / 100;
  if (status_class >= 1 && status_class <= 5) {
    requests_[r][static_cast<std::size_t>(status_class - 1)].fetch_add(1, std::memory_order_relaxed);
  }
  std::size_t bucket = 0;
  while (bucket < kBucketsSeconds.size() && seconds > kBucketsSeconds[bucket]) ++bucket;
  buckets_[r][bucket].fetch_add(1, std::memory_order_relaxed);
  latency_micros_[r].fetch_add(static_cast<std::uint64_t>(seconds * 1e6), std::memory_order_relaxed);
  in_flight_.fetch_sub(1, std::memory_order_relaxed);
}

std::uint64_t Metrics::requests(Route route, int status_class) const noexcept {
  if (status_class < 1 || status_class > 5) return 0;
  return requests_[static_cast<std::size_t>(route)][static_cast<std::size_t>(status_class - 1)].load(
      std::memory_order_relaxed);
}

std::string Metrics::render(std::size_t queued, std::size_t running) const {
  std::string out;
  char line[256];
  out += "# HELP vorn_http_requests_total Requests answered, by route and status class.\n";
  out += "# TYPE vorn_http_requests_total counter\n";
  for (std::size_t r = 0; r < kRoutes; ++r) {
    for (std::size_t c = 0; c < kClasses; ++c) {
      const auto n = requests_[r][c].load(std::memory_order_relaxed);
      if (n == 0) continue;
      std::snprintf(line, sizeof line, "vorn_http_requests_total{route=\"%s\",code=\"%zuxx\"} %llu\n",
                    route_label(static_cast<Route>(r)), c + 1, static_cast<unsigned long long>(n));
      out += line;
    }
  }
  out += "# HELP vorn_http_errors_total Requests answered with a 4xx or 5xx status.\n";
  out += "# TYPE vorn_http_errors_total counter\n";
  std::uint64_t errors = 0;
  for (std::size_t r = 0; r < kRoutes; ++r) errors += requests_[r][3].load() + requests_[r][4].load();
  out += "vorn_http_errors_total " + std::to_string(errors) + "\n";
  out += "# HELP vorn_http_request_duration_seconds Time from a request's arrival to its answer.\n";
  out += "# TYPE vorn_http_request_duration_seconds histogram\n";
  for (std::size_t r = 0; r < kRoutes; ++r) {
    std::uint64_t cumulative = 0;
    for (std::size_t b = 0; b <= kBucketsSeconds.size(); ++b) cumulative += buckets_[r][b].load();
    if (cumulative == 0) continue;
    const char* label = route_label(static_cast<Route>(r));
    std::uint64_t running_total = 0;
    for (std::size_t b = 0; b < kBucketsSeconds.size(); ++b) {
      running_total += buckets_[r][b].load();
      std::snprintf(line, sizeof line, "vorn_http_request_duration_seconds_bucket{route=\"%s\",le=\"%g\"} %llu\n",
                    label, kBucketsSeconds[b], static_cast<unsigned long long>(running_total));
      out += line;
    }
    std::snprintf(line, sizeof line,
                  "vorn_http_request_duration_seconds_bucket{route=\"%s\",le=\"+Inf\"} %llu\n"
                  "vorn_http_request_duration_seconds_sum{route=\"%s\"} %.6f\n"
                  "vorn_http_request_duration_seconds_count{route=\"%s\"} %llu\n",
                  label, static_cast<unsigned long long>(cumulative), label,
                  static_cast<double>(latency_micros_[r].load()) / 1e6, label,
                  static_cast<unsigned long long>(cumulative));
    out += line;
  }
  out += "# HELP vorn_http_in_flight Requests being handled now.\n# TYPE vorn_http_in_flight gauge\n";
  out += "vorn_http_in_flight " + std::to_string(in_flight()) + "\n";
  out += "# HELP vorn_queue_waiting Jobs waiting for a worker.\n# TYPE vorn_queue_waiting gauge\n";
  out += "vorn_queue_waiting " + std::to_string(queued) + "\n";
  out += "# HELP vorn_queue_running Jobs running on the workers.\n# TYPE vorn_queue_running gauge\n";
  out += "vorn_queue_running " + std::to_string(running) + "\n";
  out += "# HELP vorn_queue_rejected_total Requests refused with 503 because the queue was full.\n";
  out += "# TYPE vorn_queue_rejected_total counter\n";
  out += "vorn_queue_rejected_total " + std::to_string(rejected_.load()) + "\n";
  return out;
}

}  // namespace vorn_serve
