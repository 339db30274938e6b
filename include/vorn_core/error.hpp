// Error model of the vorn family.
//
// Two independent axes:
//   * host kinds (`TypeError`, `ValueError`, `RuntimeError`, ...): the broad
//     category a generic handler catches. Each derives from exactly one
//     standard exception, so `catch (const std::exception&)` is never
//     ambiguous.
//   * `BaseError`: the family's typed error with a stable `code()`, an
//     optional `DebugInfo` and an optional cause. It is a mixin, not a
//     `std::exception`; every concrete typed error also derives from one host
//     kind, which supplies `what()`.
#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorn_core {

// ---- Host kinds ------------------------------------------------------------

class NotImplementedError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};
class RuntimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class TypeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};
class ValueError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};
// A member lookup that found nothing.
class AttributeError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};
// A mapping lookup of a key that is not there.
class KeyError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};
// A record validation failure; a kind of `ValueError`.
class ValidationError : public ValueError {
 public:
  using ValueError::ValueError;
};
// A caller-side deadline passed before an awaited operation finished.
class TimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Typed errors ------------------------------------------------------------

// Structured detail about a translated lower-level failure.
struct DebugInfo {
  std::string class_name;        // the typed error's class
  std::string error_type;        // the caught failure's type name
  std::string original_message;  // the caught failure's text

  friend bool operator==(const DebugInfo&, const DebugInfo&) = default;
};

class BaseError {
 public:
  virtual ~BaseError() = default;

  // Stable code of the concrete type; empty on abstract bases.
  virtual std::string_view code() const noexcept = 0;
  // Message used when the error is raised without one; absent on abstract bases.
  virtual std::optional<std::string_view> default_message() const noexcept = 0;
  // Class name as messages and `DebugInfo` print it ("RAGValueError").
  virtual std::string_view class_name() const noexcept = 0;

  const std::string& message() const noexcept { return message_; }
  const std::optional<DebugInfo>& debug_info() const noexcept { return debug_info_; }

  // The failure this error translates, if any (error chaining).
  const std::exception_ptr& cause() const noexcept { return cause_; }
  void set_cause(std::exception_ptr cause) noexcept { cause_ = std::move(cause); }

 protected:
  BaseError(std::string message, std::optional<DebugInfo> debug_info)
      : message_(std::move(message)), debug_info_(std::move(debug_info)) {}
  BaseError(const BaseError&) = default;
  BaseError& operator=(const BaseError&) = default;

 private:
  std::string message_;
  std::optional<DebugInfo> debug_info_;
  std::exception_ptr cause_;
};

// Readable name of an exception's dynamic type: the typed error's class name,
// else the demangled C++ type name; "unknown" for non-standard throws.
std::string exception_type_name(const std::exception_ptr& error);
// The exception's text: the message of a typed error, `what()` of a standard
// exception, a fixed text for anything else.
std::string exception_message(const std::exception_ptr& error);
// The error's stable code: `code()` of a typed error, else (an error from
// outside the family) its type name as `exception_type_name` gives it.
std::string error_code_of(const std::exception_ptr& error);
// Demangled name of a C++ type.
std::string demangle(const char* mangled);

// Defines a concrete typed error `Name` deriving from `Base` (another typed
// error or `BaseError`) and the host kind `Host`, with a stable code and a
// default message. Constructors: (), (message), (message, debug_info),
// (nullopt, debug_info).
#define VORN_DEFINE_ERROR(Name, Base, Host, Code, DefaultMessage) \
  VORN_DEFINE_ERROR_PRINTED_AS(Name, Base, Host, Code, DefaultMessage, #Name)

// As `VORN_DEFINE_ERROR`, with the class name messages print given
// separately (`class_name()`).
#define VORN_DEFINE_ERROR_PRINTED_AS(Name, Base, Host, Code, DefaultMessage, PrintedName)            \
  class Name : public Base, public Host {                                                            \
   public:                                                                                           \
    static constexpr std::string_view kCode = Code;                                                  \
    static constexpr std::string_view kDefaultMessage = DefaultMessage;                              \
    explicit Name(std::optional<std::string> message = std::nullopt,                                 \
                  std::optional<::vorn_core::DebugInfo> debug_info = std::nullopt)                   \
        : Name(ResolvedTag{}, message ? std::move(*message) : std::string(kDefaultMessage),          \
               std::move(debug_info)) {}                                                             \
    Name(const char* message, std::optional<::vorn_core::DebugInfo> debug_info = std::nullopt)       \
        : Name(std::optional<std::string>(message), std::move(debug_info)) {}                        \
    std::string_view code() const noexcept override { return kCode; }                                \
    std::optional<std::string_view> default_message() const noexcept override {                      \
      return kDefaultMessage;                                                                        \
    }                                                                                                \
    std::string_view class_name() const noexcept override { return PrintedName; }                    \
                                                                                                     \
   protected:                                                                                        \
    struct ResolvedTag {};                                                                           \
    Name(ResolvedTag, std::string resolved, std::optional<::vorn_core::DebugInfo> debug_info)        \
        : Base(resolved, std::move(debug_info)), Host(resolved) {}                                   \
  }

// Defines a typed error `Name` whose only base is the concrete typed error
// `Base` (it inherits Base's host kind), with its own code and default message.
#define VORN_DEFINE_DERIVED_ERROR(Name, Base, Code, DefaultMessage)                                 \
  class Name : public Base {                                                                         \
   public:                                                                                           \
    static constexpr std::string_view kCode = Code;                                                  \
    static constexpr std::string_view kDefaultMessage = DefaultMessage;                              \
    explicit Name(std::optional<std::string> message = std::nullopt,                                 \
                  std::optional<::vorn_core::DebugInfo> debug_info = std::nullopt)                   \
        : Base(typename Base::ResolvedTag{},                                                         \
               message ? std::move(*message) : std::string(kDefaultMessage), std::move(debug_info)) {} \
    Name(const char* message, std::optional<::vorn_core::DebugInfo> debug_info = std::nullopt)       \
        : Name(std::optional<std::string>(message), std::move(debug_info)) {}                        \
    std::string_view code() const noexcept override { return kCode; }                                \
    std::optional<std::string_view> default_message() const noexcept override {                      \
      return kDefaultMessage;                                                                        \
    }                                                                                                \
    std::string_view class_name() const noexcept override { return #Name; }                          \
  }

// Abstract typed-error base of a library: no code, no default message; only
// there so that one handler catches every error of that library.
#define VORN_DEFINE_ABSTRACT_ERROR(Name)                                                             \
  class Name : public ::vorn_core::BaseError {                                                       \
   public:                                                                                           \
    std::string_view code() const noexcept override { return {}; }                                   \
    std::optional<std::string_view> default_message() const noexcept override {                      \
      return std::nullopt;                                                                           \
    }                                                                                                \
                                                                                                     \
   protected:                                                                                        \
    using ::vorn_core::BaseError::BaseError;                                                         \
  }

// ---- The host kinds with codes ------------------------------------------------

// What the libraries throw where a failure is of a host kind and no more
// precise typed error fits: the host kind itself (a handler for
// `vorn_core::ValueError` still catches it) with a stable code, so that
// `catch (const BaseError&)` sees every error the libraries raise. They
// print as their host kind ("ValueError"), as messages always did.
//
// Their common base `HostKindError` lets step error handling treat them as
// the plain host kinds they stand for: a step that passes the family's typed
// errors through unchanged still wraps these, as it wraps a plain `TypeError`.
VORN_DEFINE_ABSTRACT_ERROR(HostKindError);

VORN_DEFINE_ERROR_PRINTED_AS(InvalidTypeError, HostKindError, TypeError, "VORN-CORE-TYPE",
                             "A value has the wrong type. Check the argument types and retry.", "TypeError");
VORN_DEFINE_ERROR_PRINTED_AS(InvalidValueError, HostKindError, ValueError, "VORN-CORE-VALUE",
                             "A value is invalid. Check the provided values and retry.", "ValueError");
VORN_DEFINE_ERROR_PRINTED_AS(UnknownAttributeError, HostKindError, AttributeError, "VORN-CORE-ATTRIBUTE",
                             "The object has no such attribute. Check the attribute name and retry.",
                             "AttributeError");
VORN_DEFINE_ERROR_PRINTED_AS(UnknownKeyError, HostKindError, KeyError, "VORN-CORE-KEY",
                             "The mapping has no such key. Check the key and retry.", "KeyError");
VORN_DEFINE_ERROR_PRINTED_AS(RecordValidationError, HostKindError, ValidationError, "VORN-CORE-VALIDATION",
                             "A record failed validation. Check its fields and retry.", "ValidationError");
VORN_DEFINE_ERROR_PRINTED_AS(OperationError, HostKindError, RuntimeError, "VORN-CORE-RUNTIME",
                             "The operation failed. Check its inputs, then retry.", "RuntimeError");
VORN_DEFINE_ERROR_PRINTED_AS(UnsupportedError, HostKindError, NotImplementedError, "VORN-CORE-NOT-IMPLEMENTED",
                             "This operation is not supported here. Use one that is.", "NotImplementedError");
VORN_DEFINE_ERROR_PRINTED_AS(DeadlineError, HostKindError, TimeoutError, "VORN-CORE-TIMEOUT",
                             "The operation did not finish in time. Raise the limit or check the operation, then "
                             "retry.",
                             "TimeoutError");

}  // namespace vorn_core
