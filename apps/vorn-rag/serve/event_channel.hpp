// Server-sent events handed from the job that produces them (on an engine
// worker) to the connection thread that writes them. The producer never
// blocks; the writer waits for the next event.
#pragma once

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
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return !events_.empty(); });
    auto [event, is_last] = std::move(events_.front());
    events_.pop_front();
    last = is_last;
    return event;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::pair<std::string, bool>> events_;
};

}  // namespace vorn_serve
