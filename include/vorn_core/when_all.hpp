// `when_all`: await several tasks at once on the current loop and collect
// their results in input order. Each task starts in turn and runs until it
// first suspends, so tasks that suspend overlap in time. Every task has
// finished when `when_all` resumes; the error of the first failing task (by
// position) is then rethrown.
#pragma once

#include <atomic>
#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <vector>

#include "vorn_core/task.hpp"

namespace vorn_core {
namespace detail {

struct WhenAllLatch {
  std::atomic<std::size_t> remaining;
  std::coroutine_handle<> awaiting;
};

struct WhenAllChild {
  struct promise_type {
    WhenAllLatch* latch = nullptr;
    WhenAllChild get_return_object() noexcept {
      return WhenAllChild{std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> self) noexcept {
        WhenAllLatch* latch = self.promise().latch;
        if (latch->remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) return latch->awaiting;
        return std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }  // children catch everything
  };

  explicit WhenAllChild(std::coroutine_handle<promise_type> h) noexcept : handle(h) {}
  WhenAllChild(WhenAllChild&& other) noexcept : handle(std::exchange(other.handle, {})) {}
  WhenAllChild(const WhenAllChild&) = delete;
  ~WhenAllChild() {
    if (handle) handle.destroy();
  }
  std::coroutine_handle<promise_type> handle;
};

template <class T>
WhenAllChild when_all_child(Task<T>* task, std::optional<std::conditional_t<std::is_void_v<T>, bool, T>>* slot,
                            std::exception_ptr* error) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(*task);
      slot->emplace(true);
    } else {
      slot->emplace(co_await std::move(*task));
    }
  } catch (...) {
    *error = std::current_exception();
  }
  // The finished task's frame goes now, not when the last task finishes:
  // with many tasks in flight, the early finishers' frames add up.
  *task = Task<T>();
}

struct WhenAllAwaiter {
  WhenAllLatch* latch;
  std::vector<WhenAllChild>* children;
  bool await_ready() const noexcept { return children->empty(); }
  bool await_suspend(std::coroutine_handle<> awaiting) noexcept {
    latch->awaiting = awaiting;
    for (auto& child : *children) {
      child.handle.promise().latch = latch;
      child.handle.resume();
    }
    // The extra count is ours: if it is the last one, every child is done.
    return latch->remaining.fetch_sub(1, std::memory_order_acq_rel) > 1;
  }
  void await_resume() const noexcept {}
};

}  // namespace detail

template <class T>
Task<std::conditional_t<std::is_void_v<T>, void, std::vector<T>>> when_all(std::vector<Task<T>> tasks) {
  using Slot = std::conditional_t<std::is_void_v<T>, bool, T>;
  const std::size_t n = tasks.size();
  std::vector<std::optional<Slot>> results(n);
  std::vector<std::exception_ptr> errors(n);
  std::vector<detail::WhenAllChild> children;
  children.reserve(n);
  for (std::size_t i = 0; i < n; ++i) children.push_back(detail::when_all_child(&tasks[i], &results[i], &errors[i]));
  detail::WhenAllLatch latch{n + 1, {}};
  co_await detail::WhenAllAwaiter{&latch, &children};
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
  if constexpr (!std::is_void_v<T>) {
    std::vector<T> out;
    out.reserve(n);
    for (auto& r : results) out.push_back(std::move(*r));
    co_return out;
  }
}

}  // namespace vorn_core
