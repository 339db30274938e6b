#include "vorn_core/event_loop.hpp"

#include <string>

namespace vorn_core {
namespace {

thread_local EventLoop* t_current_loop = nullptr;

// Frame of a task the loop owns: destroys itself when it finishes and tells
// the loop, so the loop only ever destroys frames that are still suspended.
struct SpawnedTask {
  struct promise_type {
    EventLoop* loop = nullptr;
    SpawnedTask get_return_object() noexcept {
      return SpawnedTask{std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      void await_suspend(std::coroutine_handle<promise_type> self) noexcept {
        if (self.promise().loop) self.promise().loop->forget_spawned(self.address());
        self.destroy();
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    // A spawned task has no awaiter to report to; callers catch inside.
    void unhandled_exception() noexcept {}
  };
  std::coroutine_handle<promise_type> handle;
};

SpawnedTask run_spawned(Task<void> task) { co_await std::move(task); }

class CurrentLoopGuard {
 public:
  explicit CurrentLoopGuard(EventLoop* loop) : previous_(t_current_loop) { t_current_loop = loop; }
  ~CurrentLoopGuard() { t_current_loop = previous_; }

 private:
  EventLoop* previous_;
};

class TracePositionGuard {
 public:
  TracePositionGuard() noexcept : saved_(detail::t_trace_position) {}
  ~TracePositionGuard() { detail::t_trace_position = saved_; }

 private:
  const TracePosition* saved_;
};

EventLoop& require_current_loop() {
  EventLoop* loop = EventLoop::current();
  if (!loop) {
    throw OperationError("No event loop is running in this thread. Await this inside a running loop and retry.");
  }
  return *loop;
}

}  // namespace

EventLoop::EventLoop() = default;

EventLoop::~EventLoop() {
  ready_.clear();
  while (!timers_.empty()) timers_.pop();
  // Destroying a suspended frame does not run its final suspend, so the set
  // is not modified while we walk a copy of it.
  std::vector<void*> frames(spawned_.begin(), spawned_.end());
  spawned_.clear();
  for (void* frame : frames) std::coroutine_handle<>::from_address(frame).destroy();
}

EventLoop* EventLoop::current() noexcept { return t_current_loop; }

void EventLoop::schedule(std::coroutine_handle<> handle) {
  ready_.push_back(Resumption{handle, detail::t_trace_position});
}

void EventLoop::post(std::coroutine_handle<> handle) {
  {
    std::lock_guard lock(posted_mutex_);
    posted_.push_back(Resumption{handle, detail::t_trace_position});
  }
  posted_cv_.notify_one();
}

void EventLoop::schedule_at(Clock::time_point deadline, std::coroutine_handle<> handle) {
  timers_.push(Timer{deadline, timer_sequence_++, handle, detail::t_trace_position});
}

void EventLoop::hold() {
  std::lock_guard lock(posted_mutex_);
  ++holds_;
}

void EventLoop::release() {
  {
    std::lock_guard lock(posted_mutex_);
    --holds_;
  }
  posted_cv_.notify_one();
}

void EventLoop::spawn(Task<void> task) {
  SpawnedTask spawned = run_spawned(std::move(task));
  spawned.handle.promise().loop = this;
  spawned_.insert(spawned.handle.address());
  spawned.handle.resume();
}

void EventLoop::drain_posted() {
  std::lock_guard lock(posted_mutex_);
  for (const auto& r : posted_) ready_.push_back(r);
  posted_.clear();
}

void EventLoop::run_until(std::coroutine_handle<detail::TaskPromise<void>> root) {
  if (t_current_loop) {
    throw OperationError(
        "An event loop is already running in this thread. Await the task instead of running it to completion, "
        "then retry.");
  }
  CurrentLoopGuard guard(this);
  // The root runs at the caller's trace position; every later resumption at
  // the position it was queued with. The caller's is back when the loop ends.
  TracePositionGuard position_guard;
  root.promise().start(root, std::noop_coroutine());

  while (!root.done()) {
    drain_posted();
    if (!ready_.empty()) {
      const Resumption r = ready_.front();
      ready_.pop_front();
      detail::t_trace_position = r.position;
      r.handle.resume();
      continue;
    }
    if (!timers_.empty()) {
      const auto now = Clock::now();
      if (timers_.top().deadline <= now) {
        const Timer timer = timers_.top();
        timers_.pop();
        detail::t_trace_position = timer.position;
        timer.handle.resume();
        continue;
      }
      std::unique_lock lock(posted_mutex_);
      posted_cv_.wait_until(lock, timers_.top().deadline, [this] { return !posted_.empty(); });
      continue;
    }
    std::unique_lock lock(posted_mutex_);
    if (holds_ > 0 || !posted_.empty()) {
      posted_cv_.wait(lock, [this] { return !posted_.empty() || holds_ == 0; });
      continue;
    }
    throw OperationError(
        "The event loop has nothing left to run, but the awaited task has not finished: an awaited operation "
        "never completes. Add a timeout or fix the component, then retry.");
  }
}

void YieldAwaiter::await_suspend(std::coroutine_handle<> h) const { require_current_loop().schedule(h); }

void SleepAwaiter::await_suspend(std::coroutine_handle<> h) const {
  EventLoop& loop = require_current_loop();
  loop.schedule_at(EventLoop::Clock::now() + duration, h);
}

}  // namespace vorn_core
