// Blocking entry into asynchronous code, and caller-side timeouts.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "vorn_core/error.hpp"
#include "vorn_core/event_loop.hpp"
#include "vorn_core/task.hpp"

namespace vorn_core {

// Runs `task` to completion on a fresh loop in this thread. Throws
// `RuntimeError` when a loop is already running here (a nested loop would
// block the outer one); check `EventLoop::running_in_current_thread()` first
// to refuse with a better error.
template <class T>
T run_sync(Task<T> task) {
  EventLoop loop;
  return loop.run_until_complete(std::move(task));
}

// A blocking callable with the same arguments as the asynchronous `fn`,
// returning the awaited result: `syncify(arun)(question, 5)`.
template <class F>
auto syncify(F fn) {
  return [fn = std::move(fn)](auto&&... args) {
    return run_sync(std::invoke(fn, std::forward<decltype(args)>(args)...));
  };
}

namespace detail {
template <class T>
struct TimeoutState {
  std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
  std::exception_ptr error;
  bool finished = false;
  bool timed_out = false;
  std::coroutine_handle<> waiting;

  void finish(EventLoop& loop) {
    finished = true;
    if (waiting) loop.schedule(std::exchange(waiting, {}));
  }
};

template <class T>
Task<void> timeout_runner(Task<T> task, std::shared_ptr<TimeoutState<T>> state) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(task);
      if (!state->finished) state->value.emplace(true);
    } else {
      auto v = co_await std::move(task);
      if (!state->finished) state->value.emplace(std::move(v));
    }
  } catch (...) {
    if (!state->finished) state->error = std::current_exception();
  }
  if (!state->finished) state->finish(*EventLoop::current());
}

template <class T>
Task<void> timeout_timer(EventLoop::Clock::duration limit, std::shared_ptr<TimeoutState<T>> state) {
  co_await SleepAwaiter{limit};
  if (!state->finished) {
    state->timed_out = true;
    state->finish(*EventLoop::current());
  }
}

template <class T>
struct TimeoutAwaiter {
  TimeoutState<T>* state;
  bool await_ready() const noexcept { return state->finished; }
  void await_suspend(std::coroutine_handle<> h) noexcept { state->waiting = h; }
  void await_resume() const noexcept {}
};
}  // namespace detail

// Awaits `task` for at most `limit`; past it throws `TimeoutError`. The task
// then keeps running, owned by the loop, and is destroyed with the loop if it
// never finishes, so it must own everything it touches (pass inputs by value;
// strategies and pipelines keep themselves alive while they run).
template <class T, class Rep, class Period>
Task<T> with_timeout(Task<T> task, std::chrono::duration<Rep, Period> limit) {
  EventLoop* loop = EventLoop::current();
  if (!loop) throw OperationError("No event loop is running in this thread. Await this inside a running loop and retry.");
  auto state = std::make_shared<detail::TimeoutState<T>>();
  loop->spawn(detail::timeout_runner<T>(std::move(task), state));
  if (!state->finished) {
    loop->spawn(detail::timeout_timer<T>(std::chrono::duration_cast<EventLoop::Clock::duration>(limit), state));
  }
  co_await detail::TimeoutAwaiter<T>{state.get()};
  if (state->timed_out) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
    throw DeadlineError("The operation did not finish within " + std::to_string(ms) +
                       " ms. Raise the timeout or check the component, then retry.");
  }
  if (state->error) std::rethrow_exception(state->error);
  if constexpr (!std::is_void_v<T>) co_return std::move(*state->value);
}

}  // namespace vorn_core
