// Language-model invokers: the one operation the family needs from a model,
// "answer these messages", with optional structured (JSON) output.
#pragma once

#include <memory>
#include <string>
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

struct InvokeOptions {
  // A JSON schema (as a value) the answer must follow; absent for free text.
  vorn_core::Value response_schema;
};

class BaseLMInvoker : public vorn_core::Object {
 public:
  virtual vorn_core::Task<LMOutputPtr> invoke(std::vector<Message> messages, InvokeOptions options) = 0;
  // Model name for logs and traces.
  virtual std::string model_name() const { return type_name(); }
};
using LMInvokerPtr = std::shared_ptr<BaseLMInvoker>;

}  // namespace vorn_inference
