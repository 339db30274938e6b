// Callables that may answer a value or an awaitable.
//
// A `Callable` is an object with a call operation taking positional and named
// arguments. What it answers is a `CallResult`: either a value, or a task the
// caller awaits once (a host coroutine function's awaitable). Classifiers,
// stage callables, fusion functions and state operations are all callables.
#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "vorn_core/object.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"

namespace vorn_core {

class CallResult {
 public:
  CallResult(Value value) noexcept : result_(std::move(value)) {}
  CallResult(Task<Value> task) noexcept : result_(std::move(task)) {}

  bool is_awaitable() const noexcept { return result_.index() == 1; }
  Value& value() { return std::get<0>(result_); }
  Task<Value>& task() { return std::get<1>(result_); }

 private:
  std::variant<Value, Task<Value>> result_;
};

// Awaits an awaitable result once; passes a plain value through.
Task<Value> resolve(CallResult result);

// Thread safety: instances are shared by concurrent runs; implementations must be safe for concurrent calls.
class Callable : public Object {
 public:
  virtual CallResult call(List args, Dict kwargs) = 0;
  std::string type_name() const override { return "function"; }
};
using CallablePtr = std::shared_ptr<Callable>;

// A callable made from a C++ function object.
class Function final : public Callable {
 public:
  using Body = std::function<CallResult(List, Dict)>;
  Function(std::string name, Body body) : name_(std::move(name)), body_(std::move(body)) {}
  CallResult call(List args, Dict kwargs) override { return body_(std::move(args), std::move(kwargs)); }
  const std::string& name() const noexcept { return name_; }
  std::string repr() const override { return "<function " + name_ + ">"; }

 private:
  std::string name_;
  Body body_;
};

namespace detail {
template <class R>
CallResult to_call_result(R&& r) {
  if constexpr (std::same_as<std::decay_t<R>, CallResult>) {
    return std::forward<R>(r);
  } else if constexpr (std::same_as<std::decay_t<R>, Task<Value>>) {
    return CallResult(std::forward<R>(r));
  } else {
    return CallResult(Value(std::forward<R>(r)));
  }
}

template <class F, class... Args>
CallResult invoke_to_result(F& f, Args&&... args) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&, Args...>>) {
    std::invoke(f, std::forward<Args>(args)...);
    return CallResult(Value());
  } else {
    return to_call_result(std::invoke(f, std::forward<Args>(args)...));
  }
}
}  // namespace detail

// Wraps `f` as a callable. `f` takes (List args, Dict kwargs), or only
// (Dict kwargs), or only (List args); it returns a value, a `Task<Value>`, a
// `CallResult` or nothing.
template <class F>
CallablePtr make_function(std::string name, F f) {
  if constexpr (std::invocable<F&, List, Dict>) {
    return std::make_shared<Function>(std::move(name), [f = std::move(f)](List a, Dict k) mutable {
      return detail::invoke_to_result(f, std::move(a), std::move(k));
    });
  } else if constexpr (std::invocable<F&, Dict>) {
    return std::make_shared<Function>(std::move(name), [f = std::move(f)](List, Dict k) mutable {
      return detail::invoke_to_result(f, std::move(k));
    });
  } else {
    static_assert(std::invocable<F&, List>, "make_function: F must take (List, Dict), (Dict) or (List)");
    return std::make_shared<Function>(std::move(name), [f = std::move(f)](List a, Dict) mutable {
      return detail::invoke_to_result(f, std::move(a));
    });
  }
}

// A component of the family: something a pipeline step calls with named
// inputs. Asynchronous; the result is returned as is.
// Thread safety: instances are shared by concurrent runs; implementations must be safe for concurrent calls.
class Component : public Object {
 public:
  virtual Task<Value> run(Dict inputs) = 0;
};
using ComponentPtr = std::shared_ptr<Component>;

}  // namespace vorn_core
