// `Task<T>`: a lazily started coroutine that produces a T (or throws).
//
// A task starts when it is first awaited and resumes its awaiter when it
// finishes. Exceptions propagate to the awaiter with their dynamic type
// intact (they are carried as `std::exception_ptr`).
//
// Why not plain symmetric transfer: g++ 12 does not guarantee the tail call
// of `await_suspend` returning a handle, so a loop of a million awaits on
// tasks that complete synchronously can overflow the stack. The awaiter here
// starts the child inline and only suspends when the child really suspended;
// a child that completed synchronously lets the awaiter continue without a
// new stack frame. An atomic flag settles the race between "the child
// finished" and "the awaiter finished suspending" (cppcoro's approach).
#pragma once

#include <atomic>
#include <cassert>
#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "vorn_core/frame_pool.hpp"

namespace vorn_core {

template <class T = void>
class Task;

struct TracePosition;  // trace.hpp

namespace detail {

// Where the code running in this thread records its trace (trace.hpp), or
// null. It belongs to a run, not to the thread: an awaiter saves it when its
// coroutine suspends and puts it back when the coroutine resumes, and a
// coroutine it starts inherits it.
inline constinit thread_local const TracePosition* t_trace_position = nullptr;

class TaskPromiseBase {
 public:
  // Frames come from the per-thread frame cache (frame_pool.hpp).
  static void* operator new(std::size_t size) { return allocate_frame(size); }
  static void operator delete(void* frame, std::size_t size) noexcept { deallocate_frame(frame, size); }

  std::suspend_always initial_suspend() noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept {
      TaskPromiseBase& p = self.promise();
      // True when the awaiter already suspended: it is ours to resume.
      if (p.ready_.exchange(true, std::memory_order_acq_rel)) return p.continuation_;
      return std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }

  // Starts the task and reports whether the awaiter must suspend.
  bool start(std::coroutine_handle<> self, std::coroutine_handle<> continuation) noexcept {
    continuation_ = continuation;
    self.resume();
    return !ready_.exchange(true, std::memory_order_acq_rel);
  }

 private:
  std::coroutine_handle<> continuation_;
  std::atomic<bool> ready_{false};
};

template <class T>
class TaskPromise final : public TaskPromiseBase {
 public:
  Task<T> get_return_object() noexcept;
  void unhandled_exception() noexcept { result_.template emplace<2>(std::current_exception()); }
  template <class U>
    requires std::is_convertible_v<U&&, T>
  void return_value(U&& value) noexcept(std::is_nothrow_constructible_v<T, U&&>) {
    result_.template emplace<1>(std::forward<U>(value));
  }
  T take() {
    if (result_.index() == 2) std::rethrow_exception(std::get<2>(result_));
    return std::move(std::get<1>(result_));
  }

 private:
  std::variant<std::monostate, T, std::exception_ptr> result_;
};

template <>
class TaskPromise<void> final : public TaskPromiseBase {
 public:
  Task<void> get_return_object() noexcept;
  void unhandled_exception() noexcept { exception_ = std::current_exception(); }
  void return_void() noexcept {}
  void take() {
    if (exception_) std::rethrow_exception(exception_);
  }

 private:
  std::exception_ptr exception_;
};

}  // namespace detail

template <class T>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::TaskPromise<T>;
  using value_type = T;

  Task() noexcept = default;
  explicit Task(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      destroy();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { destroy(); }

  bool valid() const noexcept { return static_cast<bool>(handle_); }
  bool done() const noexcept { return handle_ && handle_.done(); }

  auto operator co_await() && noexcept { return Awaiter{handle_, detail::t_trace_position}; }
  auto operator co_await() & noexcept { return Awaiter{handle_, detail::t_trace_position}; }

  // For drivers (event loop, when_all): the raw handle.
  std::coroutine_handle<promise_type> handle() const noexcept { return handle_; }

 private:
  // Whatever resumes the awaiting coroutine (the child finishing on another
  // run's turn, a loop, a thread), it continues at its own trace position.
  struct Awaiter {
    std::coroutine_handle<promise_type> handle;
    const TracePosition* position;  // the awaiting coroutine's
    bool await_ready() const noexcept { return !handle || handle.done(); }
    bool await_suspend(std::coroutine_handle<> awaiting) noexcept {
      const bool suspended = handle.promise().start(handle, awaiting);
      detail::t_trace_position = position;
      return suspended;
    }
    T await_resume() {
      assert(handle && "awaiting an empty Task");
      detail::t_trace_position = position;
      return handle.promise().take();
    }
  };

  void destroy() noexcept {
    if (handle_) handle_.destroy();
    handle_ = {};
  }

  std::coroutine_handle<promise_type> handle_;
};

namespace detail {
template <class T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}
inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}
}  // namespace detail

// A task whose value is already known; awaiting it never suspends.
template <class T>
Task<std::decay_t<T>> ready_task(T value) {
  co_return value;
}

template <class>
inline constexpr bool is_task_v = false;
template <class T>
inline constexpr bool is_task_v<Task<T>> = true;

}  // namespace vorn_core
