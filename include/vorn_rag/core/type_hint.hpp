// Declared types of strategy slots, and the check a slot builder applies.
//
// A declared type is one of: a class (instance test, subclasses included;
// the null type is a class of its own), a union of member types, a generic
// with an origin (list[str], dict[str, Any], Callable[...]: only the origin
// is checked), or something no instance test can check (unresolved type
// text, a type variable, `Any`, a literal form), which accepts any value.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vorn_core/object.hpp"
#include "vorn_core/value.hpp"

namespace vorn_rag::core {

class TypeHint {
 public:
  enum class Kind { kClass, kUnion, kGeneric, kAny, kTypeVar, kUnresolved, kSpecialForm };
  using InstanceTest = std::function<bool(const vorn_core::Value&)>;

  // A class: `name` is its own name; `test` its instance test.
  static TypeHint of_class(std::string name, InstanceTest test);
  // The class of `T` (an `Object` subclass): a dynamic-cast instance test.
  template <class T>
  static TypeHint instance_of(std::string name) {
    return of_class(std::move(name), [](const vorn_core::Value& v) { return v.get_if<T>() != nullptr; });
  }
  static TypeHint none_type();  // the type of the null value; text "None"
  static TypeHint str();
  static TypeHint integer();    // bools are ints, as in the host
  static TypeHint floating();
  static TypeHint boolean();
  static TypeHint list();
  static TypeHint dict();
  static TypeHint union_of(std::vector<TypeHint> members);
  // "X or absent": the two-member union X | None.
  static TypeHint optional(TypeHint inner) { return union_of({std::move(inner), none_type()}); }
  // A parameterised generic; `origin` is the class checked.
  static TypeHint generic(TypeHint origin, std::vector<TypeHint> args);
  static TypeHint list_of(TypeHint element) { return generic(list(), {std::move(element)}); }
  static TypeHint dict_of(TypeHint key, TypeHint value) { return generic(dict(), {std::move(key), std::move(value)}); }
  static TypeHint callable();  // Callable[..., Any]
  static TypeHint any();
  static TypeHint type_var(std::string name);
  static TypeHint unresolved(std::string text);
  // A special form without a class origin, such as a literal-values form.
  static TypeHint special_form(std::string name, std::string text);

  Kind kind() const noexcept { return kind_; }
  // The type's own name: a class's or generic origin's name, "Any", a type
  // variable's name; empty for unions and unresolved text.
  const std::string& name() const noexcept { return name_; }
  // Full text: "BaseReranker | None", "list[str]", the unresolved text...
  std::string text() const;
  // What messages print: the own name when non-empty, else the full text.
  std::string display() const { return name_.empty() ? text() : name_; }

  const std::vector<TypeHint>& members() const noexcept { return members_; }
  const TypeHint* origin() const noexcept { return origin_.get(); }
  bool accepts_instance(const vorn_core::Value& v) const { return test_ && test_(v); }

 private:
  explicit TypeHint(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::string name_;
  std::string text_;
  InstanceTest test_;
  std::vector<TypeHint> members_;  // union members, or generic arguments
  std::shared_ptr<const TypeHint> origin_;
};

// True if `value` matches `hint` at the origin level, or if `hint` cannot be
// validated. Never throws for a declared type of the kinds above.
bool _check_slot_type(const vorn_core::Value& value, const TypeHint& hint);

// Resolves declared-type text ("BaseReranker | None", "list") against the
// names registered here and the given local names. Unions of names joined by
// "|" are understood; anything else is not resolved.
void register_type_name(std::string name, TypeHint hint);
std::optional<TypeHint> resolve_type_text(std::string_view text,
                                          const std::vector<std::pair<std::string, TypeHint>>& local_names);

}  // namespace vorn_rag::core
