// Validated records: schemas with named, typed fields in declaration order,
// required or defaulted, with optional descriptions and single inheritance.
//
//   auto schema = Schema::create("SubQueryRoute", {
//       Field::required("sub_query", TypeSpec::string()),
//       Field::required("route", TypeSpec::string())});
//   RecordPtr r = schema->make({{"sub_query", "q"}, {"route", "docs"}});
//   Value v = schema->validate(Dict{...});   // record, or ValidationError
//
// Validation converts where the conversion is lossless and unsurprising (an
// integral float to int, "true"/"false" and 0/1 to bool, a mapping with an
// "id" to a Chunk, a mapping to a nested record); it never turns a number
// into a string.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_core/error.hpp"
#include "vorn_core/object.hpp"
#include "vorn_core/value.hpp"

namespace vorn_core {

class Schema;
class Record;
using SchemaPtr = std::shared_ptr<const Schema>;
using RecordPtr = std::shared_ptr<Record>;

class TypeSpec {
 public:
  enum class Kind { kAny, kNone, kBool, kInt, kFloat, kString, kList, kDict, kObject, kRecord, kUnion };
  using InstanceTest = std::function<bool(const Object&)>;

  static TypeSpec any();
  static TypeSpec none();
  static TypeSpec boolean();
  static TypeSpec integer();
  static TypeSpec floating();
  static TypeSpec string();
  static TypeSpec list_of(TypeSpec element);
  static TypeSpec dict_of(TypeSpec value);
  static TypeSpec record(SchemaPtr schema);
  static TypeSpec union_of(std::vector<TypeSpec> members);
  static TypeSpec optional(TypeSpec inner) { return union_of({std::move(inner), none()}); }
  static TypeSpec object(std::string name, InstanceTest is_instance);
  template <class T>
  static TypeSpec instance_of(std::string name) {
    return object(std::move(name), [](const Object& o) { return dynamic_cast<const T*>(&o) != nullptr; });
  }
  // A `Chunk`, or a mapping that validates as one (needs a string "id").
  static TypeSpec chunk();

  Kind kind() const noexcept { return kind_; }
  // "str", "list[Chunk]", "int | None"...
  std::string text() const;
  // The converted value; throws `ValidationError` naming `path`.
  Value validate(const Value& value, std::string_view path) const;
  // Like `validate` without the exception; nullopt when it does not fit.
  std::optional<Value> try_validate(const Value& value) const;

 private:
  explicit TypeSpec(Kind kind) : kind_(kind) {}
  // Finds the innermost mismatch in a value `try_validate` refused and
  // throws the `ValidationError` naming it. Checking first and describing
  // only on failure keeps the common case free of exceptions (a union tries
  // its members one by one) and of path strings built for nothing.
  [[noreturn]] void raise_mismatch(const Value& value, std::string_view path) const;

  Kind kind_;
  std::string name_;
  std::vector<TypeSpec> members_;  // element type (list/dict), or union members
  SchemaPtr schema_;
  InstanceTest is_instance_;
  bool is_chunk_ = false;
};

struct Field {
  std::string name;
  TypeSpec type;
  // Makes the default per instance; absent for required fields.
  std::function<Value()> default_factory;
  std::string description;
  // The default itself, when copying it is all `default_factory` does (a
  // default that holds no record): schemas then build defaults without a
  // call per field.
  std::optional<Value> plain_default;

  bool is_required() const noexcept { return !default_factory; }
  // A fresh default (a defaulted field only).
  Value make_default() const { return plain_default ? *plain_default : default_factory(); }

  static Field required(std::string name, TypeSpec type, std::string description = {});
  // The default is copied per instance (a list default is a new list, a
  // record default a new record).
  static Field with_default(std::string name, TypeSpec type, Value default_value, std::string description = {});
  static Field with_factory(std::string name, TypeSpec type, std::function<Value()> factory,
                            std::string description = {});
};

class Schema : public std::enable_shared_from_this<Schema> {
 public:
  // Fields of `parent` come first, in its order; a field re-declared here
  // replaces the inherited one in place.
  static SchemaPtr create(std::string name, std::vector<Field> fields, SchemaPtr parent = nullptr);

  const std::string& name() const noexcept { return name_; }
  const SchemaPtr& parent() const noexcept { return parent_; }
  const std::vector<Field>& fields() const noexcept { return fields_; }
  const Field* field(std::string_view name) const noexcept;
  bool has_field(std::string_view name) const noexcept { return field(name) != nullptr; }
  // True for this schema and every schema derived from it.
  bool is_same_or_derived_from(const Schema& other) const noexcept;

  // Constructs from named values: each given field validated, missing ones
  // defaulted, a missing required field a `ValidationError`. Names that are
  // no field are ignored.
  RecordPtr make(const Dict& values) const;
  // The field values `make` puts into the record, in field order, with the
  // same validation: for callers that need the values, not a record.
  Dict make_values(const Dict& values) const;
  // A record of this schema (or a derived one) passes unchanged; a mapping is
  // validated field by field; anything else is a `ValidationError`.
  Value validate(const Value& payload) const;
  // The field values of `payload` (what `validate` accepts), in field order,
  // each validated once and without building a record. A record's values are
  // checked field by field too: one built directly, not through `make`,
  // could hold values of the wrong kind, and typed readers must not see one.
  Dict validated_values(const Value& payload) const;
  // Every defaulted field with a fresh default, in field order.
  Dict defaults() const;

 private:
  Schema() = default;
  std::string name_;
  SchemaPtr parent_;
  std::vector<Field> fields_;
  // Every field's default, in field order, when every field has a plain
  // default (the common state schemas): records and states start as a copy.
  std::optional<Dict> plain_defaults_;
};

class Record final : public Object {
 public:
  Record(SchemaPtr schema, Dict values) : schema_(std::move(schema)), values_(std::move(values)) {}

  const SchemaPtr& schema() const noexcept { return schema_; }
  // Field values in field order.
  const Dict& values() const noexcept { return values_; }
  // Throws `AttributeError` for a name that is no field.
  const Value& get(std::string_view field) const;
  // Validates against the field's type; throws `AttributeError` / `ValidationError`.
  void set(std::string_view field, Value value);

  std::string type_name() const override;
  std::string repr() const override;
  bool equals(const Object& other) const noexcept override;

 private:
  SchemaPtr schema_;
  Dict values_;
};

}  // namespace vorn_core
