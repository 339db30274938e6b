// Base of everything a `Value` can hold by reference: components, chunks,
// records, pipelines, callables, routers.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "vorn_core/value.hpp"

namespace vorn_core {

class Object : public std::enable_shared_from_this<Object> {
 public:
  Object() = default;
  Object(const Object&) = default;
  Object& operator=(const Object&) = default;
  virtual ~Object() = default;

  // Class name as messages print it; defaults to the demangled C++ name
  // without its namespace.
  virtual std::string type_name() const;
  // Quoted form; "<TypeName object>" unless a class says better.
  virtual std::string repr() const;
  // Text form; the quoted form unless a class says otherwise.
  virtual std::string str() const { return repr(); }
  // Truth value; objects are true unless a class says otherwise.
  virtual bool truthy() const noexcept { return true; }
  // Equality used by `Value ==`; identity unless a class defines a value identity.
  virtual bool equals(const Object& other) const noexcept { return this == &other; }
};

// A one-shot iterable (the host's generator): `next` yields each item once,
// then absent-in-optional forever.
class Iterable : public Object {
 public:
  virtual std::optional<Value> next() = 0;
  std::string type_name() const override { return "generator"; }
};

}  // namespace vorn_core
