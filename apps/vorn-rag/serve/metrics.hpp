// Request counters, a latency histogram and an in-flight gauge, rendered in
// the Prometheus text format for GET /metrics. Recording is lock-free, so it
// costs the hot path a few atomic increments.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace vorn_serve {

// The routes metrics are kept for; anything else counts as "other".
enum class Route { kAsk, kSearch, kSources, kChat, kModels, kHealth, kMetrics, kPage, kOther, kCount };
const char* route_label(Route route) noexcept;

class Metrics {
 public:
  static constexpr std::array<double, 12> kBucketsSeconds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                             0.1,   0.25,   0.5,   1.0,  2.5,   10.0};

  void request_started() noexcept { in_flight_.fetch_add(1, std::memory_order_relaxed); }
  // A started request that will be started again elsewhere, not counted here.
  void request_withdrawn() noexcept { in_flight_.fetch_sub(1, std::memory_order_relaxed); }
  // Counts one finished request by route and status and records its latency.
  void request_finished(Route route, int status, double seconds) noexcept;
  void queue_rejected() noexcept { rejected_.fetch_add(1, std::memory_order_relaxed); }

  std::uint64_t requests(Route route, int status_class) const noexcept;
  std::int64_t in_flight() const noexcept { return in_flight_.load(std::memory_order_relaxed); }

  // `queued` and `running`: the engine's gauges at the time of the scrape.
  std::string render(std::size_t queued, std::size_t running) const;

 private:
  static constexpr std::size_t kRoutes = static_cast<std::size_t>(Route::kCount);
  static constexpr std::size_t kClasses = 5;  // 1xx .. 5xx
  std::array<std::array<std::atomic<std::uint64_t>, kClasses>, kRoutes> requests_{};
  std::array<std::array<std::atomic<std::uint64_t>, kBucketsSeconds.size() + 1>, kRoutes> buckets_{};
  std::array<std::atomic<std::uint64_t>, kRoutes> latency_micros_{};
  std::atomic<std::int64_t> in_flight_{0};
  std::atomic<std::uint64_t> rejected_{0};
};

}  // namespace vorn_serve
