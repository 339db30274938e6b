// Language-model invokers: the one operation the family needs from a model,
// "answer these messages", with optional structured (JSON) output.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_core/object.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"

namespace vorn_inference {

struct Message {
  std::string role;  // "system", "user" or "assistant"
  std::string content;
  friend bool operator==(const Message&, const Message&) = default;
};

// What a model answered.
class LMOutput : public vorn_core::Object {
 public:
  LMOutput() = default;
  explicit LMOutput(std::string response, vorn_core::Value structured_output = {})
      : response(std::move(response)), structured_output(std::move(structured_output)) {}

  std::string response;
  // The parsed structured answer; absent when none was asked for or given.
  vorn_core::Value structured_output;
  // Usage, model name, finish reason... as the invoker reports them.
  vorn_core::Dict metadata;

  std::string type_name() const override { return "LMOutput"; }
  std::string repr() const override;
};
using LMOutputPtr = std::shared_ptr<LMOutput>;

// Receives a model's answer text piece by piece as it is produced.
using TextSink = std::function<void(std::string_view)>;

struct InvokeOptions {
  // A JSON schema (as a value) the answer must follow; absent for free text.
  vorn_core::Value response_schema;
  // The caller's end of this call, every attempt and wait included; absent:
  // only the invoker's own limits apply. Invokers that call no endpoint
  // ignore it.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // A stop request ends the call with `ModelCancelledError` (an exchange
  // under way is dropped). Invokers that call no endpoint ignore it.
  std::stop_token stop;
  // Free-text answers only: receives the answer's text as it arrives, on the
  // caller's thread, before `invoke` returns the whole `LMOutput`. The
  // pieces put together are the output's `response`. Invokers that cannot
  // stream hand over the whole text once. An exception it throws ends the
  // call.
  TextSink on_text;
};

// Thread safety: instances are shared by concurrent runs; implementations must be safe for concurrent calls.
class BaseLMInvoker : public vorn_core::Object {
 public:
  virtual vorn_core::Task<LMOutputPtr> invoke(std::vector<Message> messages, InvokeOptions options) = 0;
  // Model name for logs and traces.
  virtual std::string model_name() const { return type_name(); }
};
using LMInvokerPtr = std::shared_ptr<BaseLMInvoker>;

}  // namespace vorn_inference
