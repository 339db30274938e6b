// `uses()`: the marker that declares an optional slot of a strategy class.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "vorn_core/object.hpp"

namespace vorn_rag::core {

// The sentinel a slot declaration takes as its default. Its one attribute is
// `description`; its text form is "<uses sentinel>" and it is false in a
// truth test. Each `uses()` call makes a new one.
class _UsesSentinel final : public vorn_core::Object {
 public:
  explicit _UsesSentinel(std::optional<std::string> description) : description_(std::move(description)) {}

  const std::optional<std::string>& description() const noexcept { return description_; }

  std::string type_name() const override { return "_UsesSentinel"; }
  std::string repr() const override { return "<uses sentinel>"; }
  std::string str() const override { return "<uses sentinel>"; }
  bool truthy() const noexcept override { return false; }

 private:
  const std::optional<std::string> description_;
};

// A new sentinel carrying `description` (absent: computed when the strategy
// describes itself).
std::shared_ptr<_UsesSentinel> uses(std::optional<std::string> description = std::nullopt);

}  // namespace vorn_rag::core
