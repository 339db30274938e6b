// A blocking call into the engine for a thread outside it: queue a task,
// wait for its value or its error.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "engine.hpp"

namespace vorn_serve {

namespace detail {

template <class T>
struct CallOutcome {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::optional<T> value;
  std::exception_ptr error;
};

template <class T>
vorn_core::Task<void> fulfil(std::shared_ptr<CallOutcome<T>> outcome, vorn_core::Task<T> task) {
  std::optional<T> value;
  std::exception_ptr error;
  {
    // The finished task keeps its error too; it is destroyed here, before the
    // error is handed over, so that no reference to the exception is dropped
    // on this thread once the waiter may be handling it.
    vorn_core::Task<T> running = std::move(task);
    try {
      value.emplace(co_await std::move(running));
    } catch (...) {
      error = std::current_exception();
    }
  }
  {
    std::lock_guard lock(outcome->mutex);
    outcome->value = std::move(value);
    outcome->error = std::move(error);
    outcome->done = true;
  }
  outcome->cv.notify_one();
}

}  // namespace detail

// Runs `make()`'s task on an engine worker and waits for it; rethrows its
// error. nullopt when the engine refused the job (queue full or stopped).
// `make` is called on the worker, so what it captures must stay valid until
// this returns (it does: the caller waits).
// `while_waiting`, when set, is called every `interval` until the outcome
// is there (to notice a client that left, say); the wait goes on after it.
template <class T>
std::optional<T> call_on_engine(Engine& engine, std::function<vorn_core::Task<T>()> make,
                                const std::function<void()>& while_waiting = {},
                                std::chrono::milliseconds interval = std::chrono::milliseconds(100)) {
  auto outcome = std::make_shared<detail::CallOutcome<T>>();
  auto job = [outcome, make = std::move(make)]() -> vorn_core::Task<void> {
    return detail::fulfil<T>(outcome, make());
  };
  if (!engine.try_submit(std::move(job))) return std::nullopt;
  std::unique_lock lock(outcome->mutex);
  if (while_waiting) {
    while (!outcome->cv.wait_for(lock, interval, [&] { return outcome->done; })) {
      lock.unlock();
      while_waiting();
      lock.lock();
    }
  }
  outcome->cv.wait(lock, [&] { return outcome->done; });
  // The error leaves the shared outcome before it is rethrown: the worker may
  // drop the outcome last, and the exception's own count (kept inside the
  // runtime) must then not be released there while this thread handles it.
  if (std::exception_ptr error = std::move(outcome->error)) std::rethrow_exception(std::move(error));
  return std::move(outcome->value);
}

}  // namespace vorn_serve
