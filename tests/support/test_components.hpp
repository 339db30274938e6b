// Small in-memory test doubles shared by the test suites. Header-only.
//
//   auto log = std::make_shared<EventLog>();
//   auto echo = std::make_shared<RecordingComponent>([](const Dict& in) { return in.get("query"); });
//   auto slow = std::make_shared<YieldingComponent>(log, "q", [](const Dict& in) { return in.get("query"); });
//   auto boom = FailingComponent::with(std::runtime_error("boom"));
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "vorn_core/callable.hpp"
#include "vorn_core/event_loop.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"

namespace vorn_test {

using vorn_core::Dict;
using vorn_core::Value;

// What a double answers for the inputs it got.
using Responder = std::function<Value(const Dict&)>;

inline Responder returns(Value v) {
  return [v = std::move(v)](const Dict&) { return v; };
}

// An ordered, thread-safe list of events ("start:a", "end:a") to check how
// calls interleave.
class EventLog {
 public:
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // Position of `event`, or -1.
  int index_of(const std::string& event) const {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < events_.size(); ++i)
      if (events_[i] == event) return static_cast<int>(i);
    return -1;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};
using EventLogPtr = std::shared_ptr<EventLog>;

// Records every input mapping it is called with; completes synchronously.
class RecordingComponent : public vorn_core::Component {
 public:
  explicit RecordingComponent(Responder respond = returns(Value())) : respond_(std::move(respond)) {}

  vorn_core::Task<Value> run(Dict inputs) override {
    calls.push_back(inputs);
    co_return respond_(inputs);
  }

  std::vector<Dict> calls;

 private:
  Responder respond_;
};

// Suspends once (lets every other ready coroutine run) between logging
// "start:<label>" and "end:<label>". The label is the text form of the input
// `label_input`, or the fixed label when that input is absent.
class YieldingComponent : public vorn_core::Component {
 public:
  YieldingComponent(EventLogPtr log, std::string label_input, Responder respond, int yields = 1)
      : log_(std::move(log)), label_input_(std::move(label_input)), respond_(std::move(respond)), yields_(yields) {}

  vorn_core::Task<Value> run(Dict inputs) override {
    const Value* labelled = inputs.find(label_input_);
    const std::string label = labelled ? labelled->str() : label_input_;
    log_->add("start:" + label);
    for (int i = 0; i < yields_; ++i) co_await vorn_core::yield_now();
    log_->add("end:" + label);
    co_return respond_(inputs);
  }

 private:
  EventLogPtr log_;
  std::string label_input_;
  Responder respond_;
  int yields_;
};

// Throws the given exception when run (optionally after suspending once).
class FailingComponent : public vorn_core::Component {
 public:
  explicit FailingComponent(std::exception_ptr error, bool suspend_first = false)
      : error_(std::move(error)), suspend_first_(suspend_first) {}

  template <class E>
  static std::shared_ptr<FailingComponent> with(E error, bool suspend_first = false) {
    return std::make_shared<FailingComponent>(std::make_exception_ptr(std::move(error)), suspend_first);
  }

  vorn_core::Task<Value> run(Dict inputs) override {
    ++calls;
    if (suspend_first_) co_await vorn_core::yield_now();
    (void)inputs;
    std::rethrow_exception(error_);
  }

  int calls = 0;

 private:
  std::exception_ptr error_;
  bool suspend_first_;
};

// Sets a flag when destroyed; keep one in a coroutine frame to observe that
// the frame was cleaned up.
class DestructionFlag {
 public:
  explicit DestructionFlag(std::shared_ptr<bool> flag) : flag_(std::move(flag)) {}
  DestructionFlag(DestructionFlag&& other) noexcept : flag_(std::move(other.flag_)) {}
  DestructionFlag(const DestructionFlag&) = delete;
  ~DestructionFlag() {
    if (flag_) *flag_ = true;
  }

 private:
  std::shared_ptr<bool> flag_;
};

// Runs `task` to completion on a fresh loop.
template <class T>
T run(vorn_core::Task<T> task) {
  return vorn_core::run_sync(std::move(task));
}

}  // namespace vorn_test

// Readable failure output for gtest assertions on values.
namespace vorn_core {
inline void PrintTo(const Value& v, std::ostream* os) { *os << v.repr(); }
inline void PrintTo(const Dict& d, std::ostream* os) { *os << Value(d).repr(); }
}  // namespace vorn_core
