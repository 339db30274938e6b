// A small single-threaded event loop: a ready queue of coroutines, a timer
// heap, a queue other threads may post to, and tasks the loop owns (spawned).
//
// The loop knows whether it runs in the current thread (`current()`), which
// is what blocking entry points use to refuse to run inside a loop. It starts
// no threads. A loop that has nothing left to run while the task it drives is
// still waiting reports it (`RuntimeError`) instead of hanging, unless some
// outside party holds the loop open (`hold()`).
#pragma once

#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vorn_core/error.hpp"
#include "vorn_core/task.hpp"

namespace vorn_core {

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // The loop running in this thread, or nullptr.
  static EventLoop* current() noexcept;
  static bool running_in_current_thread() noexcept { return current() != nullptr; }

  // Queue a suspended coroutine to be resumed by this loop. Loop thread only.
  // Each of these records the caller's trace position (trace.hpp) and
  // resumes `handle` at it, so that an awaiter that queues its own coroutine
  // resumes it in its own run's trace.
  void schedule(std::coroutine_handle<> handle);
  // Queue from any thread; wakes the loop if it waits.
  void post(std::coroutine_handle<> handle);
  // Resume `handle` at `deadline` (loop thread only).
  void schedule_at(Clock::time_point deadline, std::coroutine_handle<> handle);

  // Keep the loop waiting for posts from outside while the count is above 0.
  void hold();
  void release();

  // Runs `task` to completion on this loop in the calling thread and returns
  // its result (or rethrows its error). Throws `RuntimeError` if a loop
  // already runs in this thread.
  template <class T>
  T run_until_complete(Task<T> task);

  // Starts `task` now; the loop owns it until it finishes. Tasks still
  // unfinished when the loop is destroyed are destroyed with it, so nothing
  // outlives its loop.
  void spawn(Task<void> task);
  std::size_t spawned_count() const noexcept { return spawned_.size(); }

 private:
  struct Resumption {
    std::coroutine_handle<> handle;
    const TracePosition* position;
  };
  struct Timer {
    Clock::time_point deadline;
    std::uint64_t sequence;
    std::coroutine_handle<> handle;
    const TracePosition* position;
    bool operator>(const Timer& other) const noexcept {
      return deadline != other.deadline ? deadline > other.deadline : sequence > other.sequence;
    }
  };
  // Starts `root` and runs until it is done; throws when the loop starves.
  void run_until(std::coroutine_handle<detail::TaskPromise<void>> root);
  void drain_posted();

 public:
  // Called by a spawned task's frame when it finishes.
  void forget_spawned(void* frame) noexcept { spawned_.erase(frame); }

 private:

  std::deque<Resumption> ready_;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
  std::uint64_t timer_sequence_ = 0;
  std::unordered_set<void*> spawned_;

  std::mutex posted_mutex_;
  std::condition_variable posted_cv_;
  std::vector<Resumption> posted_;
  int holds_ = 0;

};

// ---- Awaitables bound to the running loop ------------------------------------

// Suspends once and lets every other ready coroutine run first.
struct YieldAwaiter {
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) const;
  void await_resume() const noexcept {}
};
inline YieldAwaiter yield_now() { return {}; }

struct SleepAwaiter {
  EventLoop::Clock::duration duration;
  bool await_ready() const noexcept { return duration <= EventLoop::Clock::duration::zero(); }
  void await_suspend(std::coroutine_handle<> h) const;
  void await_resume() const noexcept {}
};
template <class Rep, class Period>
SleepAwaiter sleep_for(std::chrono::duration<Rep, Period> d) {
  return SleepAwaiter{std::chrono::duration_cast<EventLoop::Clock::duration>(d)};
}

// Never resumes: models an operation that never answers. Only a caller-side
// timeout (`with_timeout`) or the loop's end gets past it.
struct NeverAwaiter {
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<>) const noexcept {}
  void await_resume() const noexcept {}
};

// ---- run_until_complete -------------------------------------------------------

namespace detail {
template <class T>
struct RootResult {
  std::optional<T> value;
};
template <>
struct RootResult<void> {};

template <class T>
Task<void> drive_root(Task<T> task, RootResult<T>* out) {
  if constexpr (std::is_void_v<T>) {
    co_await std::move(task);
  } else {
    out->value.emplace(co_await std::move(task));
  }
}
}  // namespace detail

template <class T>
T EventLoop::run_until_complete(Task<T> task) {
  detail::RootResult<T> result;
  Task<void> root = detail::drive_root(std::move(task), &result);
  run_until(root.handle());
  // The root finished: the task's error, if any, is rethrown here.
  if constexpr (std::is_void_v<T>) {
    root.handle().promise().take();
  } else {
    root.handle().promise().take();
    return std::move(*result.value);
  }
}

}  // namespace vorn_core
