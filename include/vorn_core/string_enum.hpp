// String enumerations: members equal their string values and are looked up
// by value; any other value fails the lookup with `ValueError`.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vorn_core/error.hpp"
#include "vorn_core/value.hpp"

namespace vorn_core {

template <class E, std::size_t N>
class StringEnum {
 public:
  constexpr StringEnum(std::string_view name, std::array<std::pair<E, std::string_view>, N> members)
      : name_(name), members_(members) {}

  constexpr std::string_view name() const noexcept { return name_; }
  constexpr std::string_view value(E e) const noexcept {
    for (const auto& [m, v] : members_)
      if (m == e) return v;
    return {};
  }
  constexpr std::optional<E> try_from(std::string_view text) const noexcept {
    for (const auto& [m, v] : members_)
      if (v == text) return m;
    return std::nullopt;
  }
  // Lookup by value: a string equal to a member's value. Throws `ValueError`
  // "'x' is not a valid Name" otherwise (absent and non-strings included).
  E from_value(const Value& v) const {
    if (v.is_string())
      if (auto e = try_from(v.as_string())) return *e;
    throw InvalidValueError(v.repr() + " is not a valid " + std::string(name_));
  }
  constexpr const auto& members() const noexcept { return members_; }

 private:
  std::string_view name_;
  std::array<std::pair<E, std::string_view>, N> members_;
};

}  // namespace vorn_core
