// Server-sent events handed from the job that produces them (on an engine
// worker) to the connection thread that writes them. The producer never
// blocks; the writer waits for the next event.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace vorn_serve {

class EventChannel {
 public:
  void push(std::string event, bool last = false) {
    {
      std::lock_guard lock(mutex_);
      events_.emplace_back(std::move(event), last);
    }
    cv_.notify_one();
  }
  // Blocks until an event is there; `last` tells that none will follow.
  std::string pop(bool& last) {
    std::string event;
    while (!pop_for(event, last, std::chrono::hours(1))) {
    }
    return event;
  }
  // Waits up to `timeout` for an event; false when none came.
  bool pop_for(std::string& event, bool& last, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !events_.empty(); })) return false;
    auto [text, is_last] = std::move(events_.front());
    events_.pop_front();
    event = std::move(text);
    last = is_last;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::pair<std::string, bool>> events_;
};

}  // namespace vorn_serve
