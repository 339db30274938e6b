// Typed errors of the inference family: what can go wrong between the
// library and a model endpoint. Each concrete error is catchable as itself,
// as `InferenceError`, as `vorn_core::BaseError`, as its host kind and as
// `std::exception`.
//
//   InferenceError (abstract)
//   ├── ModelConfigError        ValueError    bad options (URL, model, limits)
//   ├── ModelTimeoutError       TimeoutError  connect or total timeout passed
//   ├── ModelConnectionError    RuntimeError  the endpoint could not be reached
//   ├── ModelCancelledError     RuntimeError  the caller stopped the call
//   ├── ModelHTTPError          RuntimeError  a non-2xx answer (status_code())
//   │   └── ModelAuthError                    401 or 403
//   └── ModelResponseError      ValueError    a body that is not what was asked
//       └── StructuredOutputError             no or invalid structured answer
//
// Messages never contain credentials: callers scrub any text that came from
// the wire before it goes into a message.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vorn_core/error.hpp"

namespace vorn_inference {

VORN_DEFINE_ABSTRACT_ERROR(InferenceError);

VORN_DEFINE_ERROR(ModelConfigError, InferenceError, vorn_core::ValueError, "VORN-INFERENCE-CONFIG",
                  "The model client is misconfigured. Check its options and retry.");

VORN_DEFINE_ERROR(ModelTimeoutError, InferenceError, vorn_core::TimeoutError, "VORN-INFERENCE-TIMEOUT",
                  "The model endpoint did not answer in time. Raise the timeout or check the endpoint, then retry.");

VORN_DEFINE_ERROR(ModelConnectionError, InferenceError, vorn_core::RuntimeError, "VORN-INFERENCE-CONNECTION",
                  "The model endpoint could not be reached. Check the base URL and the network, then retry.");

VORN_DEFINE_ERROR(ModelCancelledError, InferenceError, vorn_core::RuntimeError, "VORN-INFERENCE-CANCELLED",
                  "The model call was cancelled by its caller.");

VORN_DEFINE_ERROR(ModelResponseError, InferenceError, vorn_core::ValueError, "VORN-INFERENCE-RESPONSE",
                  "The model endpoint answered a malformed body. Check that it speaks the expected API, then retry.");

VORN_DEFINE_DERIVED_ERROR(StructuredOutputError, ModelResponseError, "VORN-INFERENCE-STRUCTURED-OUTPUT",
                          "The model gave no valid structured answer. Check the prompt, the schema and the model, "
                          "then retry.");

// A non-2xx answer after retries. Written out rather than generated because
// it carries the status code; it mirrors what VORN_DEFINE_ERROR generates.
class ModelHTTPError : public InferenceError, public vorn_core::RuntimeError {
 public:
  static constexpr std::string_view kCode = "VORN-INFERENCE-HTTP";
  static constexpr std::string_view kDefaultMessage =
      "The model endpoint answered with an error status. Check the request and the endpoint, then retry.";

  explicit ModelHTTPError(int status_code, std::optional<std::string> message = std::nullopt,
                          std::optional<vorn_core::DebugInfo> debug_info = std::nullopt)
      : ModelHTTPError(ResolvedTag{}, status_code, message ? std::move(*message) : std::string(kDefaultMessage),
                       std::move(debug_info)) {}

  int status_code() const noexcept { return status_code_; }

  std::string_view code() const noexcept override { return kCode; }
  std::optional<std::string_view> default_message() const noexcept override { return kDefaultMessage; }
  std::string_view class_name() const noexcept override { return "ModelHTTPError"; }

 protected:
  struct ResolvedTag {};
  ModelHTTPError(ResolvedTag, int status_code, std::string resolved, std::optional<vorn_core::DebugInfo> debug_info)
      : InferenceError(resolved, std::move(debug_info)), vorn_core::RuntimeError(resolved), status_code_(status_code) {}

 private:
  int status_code_;
};

// 401 or 403: the credentials were missing, wrong or not allowed this model.
class ModelAuthError : public ModelHTTPError {
 public:
  static constexpr std::string_view kCode = "VORN-INFERENCE-AUTH";
  static constexpr std::string_view kDefaultMessage =
      "The model endpoint refused the credentials. Check the API key and its permissions, then retry.";

  explicit ModelAuthError(int status_code, std::optional<std::string> message = std::nullopt,
                          std::optional<vorn_core::DebugInfo> debug_info = std::nullopt)
      : ModelHTTPError(ResolvedTag{}, status_code, message ? std::move(*message) : std::string(kDefaultMessage),
                       std::move(debug_info)) {}

  std::string_view code() const noexcept override { return kCode; }
  std::optional<std::string_view> default_message() const noexcept override { return kDefaultMessage; }
  std::string_view class_name() const noexcept override { return "ModelAuthError"; }
};

}  // namespace vorn_inference
