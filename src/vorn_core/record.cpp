#include "vorn_core/record.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vorn_core/chunk.hpp"

namespace vorn_core {
namespace {

[[noreturn]] void fail(std::string_view path, const TypeSpec& type, const Value& got) {
  std::string where = path.empty() ? std::string("value") : "field `" + std::string(path) + "`";
  throw RecordValidationError("Validation failed for " + where + ": expected " + type.text() + ", got " + got.type_name() +
                        ". Pass a value of the declared type and retry.");
}

std::string join_path(std::string_view base, std::string_view leaf) {
  if (base.empty()) return std::string(leaf);
  return std::string(base) + "." + std::string(leaf);
}

std::optional<bool> lax_bool(const Value& v) {
  if (v.is_bool()) return v.as_bool();
  if (v.is_int() && (v.as_int() == 0 || v.as_int() == 1)) return v.as_int() == 1;
  if (v.is_float() && (v.as_double() == 0.0 || v.as_double() == 1.0)) return v.as_double() == 1.0;
  if (v.is_string()) {
    std::string s;
    for (char c : v.as_string()) s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (s == "true" || s == "yes" || s == "on" || s == "1" || s == "t" || s == "y") return true;
    if (s == "false" || s == "no" || s == "off" || s == "0" || s == "f" || s == "n") return false;
  }
  return std::nullopt;
}

// A copy of a default value that shares no record with it: records (also
// inside lists and dicts) are copied, so each instance gets its own.
bool holds_record(const Value& v) {
  if (v.is<Record>()) return true;
  if (v.is_list()) {
    for (const auto& item : v.as_list())
      if (holds_record(item)) return true;
  }
  if (v.is_dict()) {
    for (const auto& [k, item] : v.as_dict())
      if (holds_record(item)) return true;
  }
  return false;
}

Value fresh_copy(const Value& v) {
  if (auto* r = v.get_if<Record>()) {
    Dict values;
    for (const auto& [k, item] : r->values()) values.set(k, fresh_copy(item));
    return std::make_shared<Record>(r->schema(), std::move(values));
  }
  if (v.is_list()) {
    List out;
    out.reserve(v.as_list().size());
    for (const auto& item : v.as_list()) out.push_back(fresh_copy(item));
    return out;
  }
  if (v.is_dict()) {
    Dict out;
    for (const auto& [k, item] : v.as_dict()) out.set(k, fresh_copy(item));
    return out;
  }
  return v;
}

}  // namespace

TypeSpec TypeSpec::any() { return TypeSpec(Kind::kAny); }
TypeSpec TypeSpec::none() { return TypeSpec(Kind::kNone); }
TypeSpec TypeSpec::boolean() { return TypeSpec(Kind::kBool); }
TypeSpec TypeSpec::integer() { return TypeSpec(Kind::kInt); }
TypeSpec TypeSpec::floating() { return TypeSpec(Kind::kFloat); }
TypeSpec TypeSpec::string() { return TypeSpec(Kind::kString); }

TypeSpec TypeSpec::list_of(TypeSpec element) {
  TypeSpec t(Kind::kList);
  t.members_.push_back(std::move(element));
  return t;
}

TypeSpec TypeSpec::dict_of(TypeSpec value) {
  TypeSpec t(Kind::kDict);
  t.members_.push_back(std::move(value));
  return t;
}

TypeSpec TypeSpec::record(SchemaPtr schema) {
  TypeSpec t(Kind::kRecord);
  t.name_ = schema->name();
  t.schema_ = std::move(schema);
  return t;
}

TypeSpec TypeSpec::union_of(std::vector<TypeSpec> members) {
  TypeSpec t(Kind::kUnion);
  t.members_ = std::move(members);
  return t;
}

TypeSpec TypeSpec::object(std::string name, InstanceTest is_instance) {
  TypeSpec t(Kind::kObject);
  t.name_ = std::move(name);
  t.is_instance_ = std::move(is_instance);
  return t;
}

TypeSpec TypeSpec::chunk() {
  // Chunk is final: an exact type test, cheaper than the dynamic cast of
  // `instance_of`, for lists of chunks validated element by element.
  TypeSpec t = object("Chunk", [](const Object& o) { return typeid(o) == typeid(Chunk); });
  t.is_chunk_ = true;
  return t;
}

std::string TypeSpec::text() const {
  switch (kind_) {
    case Kind::kAny: return "Any";
    case Kind::kNone: return "None";
    case Kind::kBool: return "bool";
    case Kind::kInt: return "int";
    case Kind::kFloat: return "float";
    case Kind::kString: return "str";
    case Kind::kList: return "list[" + members_[0].text() + "]";
    case Kind::kDict: return "dict[str, " + members_[0].text() + "]";
    case Kind::kObject:
    case Kind::kRecord: return name_;
    case Kind::kUnion: {
      std::string out;
      for (std::size_t i = 0; i < members_.size(); ++i) {
        if (i) out += " | ";
        out += members_[i].text();
      }
      return out;
    }
  }
  return "Any";
}

Value TypeSpec::validate(const Value& value, std::string_view path) const {
  if (auto converted = try_validate(value)) return std::move(*converted);
  raise_mismatch(value, path);
}

std::optional<Value> TypeSpec::try_validate(const Value& value) const {
  switch (kind_) {
    case Kind::kAny: return value;
    case Kind::kNone:
      if (value.is_none()) return value;
      break;
    case Kind::kBool:
      if (auto b = lax_bool(value)) return Value(*b);
      break;
    case Kind::kInt:
      if (value.is_int()) return value;
      if (value.is_float()) {
        double d = value.as_double();
        if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18) return Value(static_cast<std::int64_t>(d));
      }
      break;
    case Kind::kFloat:
      if (value.is_float()) return value;
      if (value.is_int()) return Value(static_cast<double>(value.as_int()));
      break;
    case Kind::kString:
      if (value.is_string()) return value;
      break;
    case Kind::kList: {
      if (!value.is_list()) break;
      const TypeSpec& element = members_[0];
      if (element.kind_ == Kind::kAny) return value;
      List out;
      out.reserve(value.as_list().size());
      for (const auto& item : value.as_list()) {
        auto converted = element.try_validate(item);
        if (!converted) return std::nullopt;
        out.push_back(std::move(*converted));
      }
      return Value(std::move(out));
    }
    case Kind::kDict: {
      if (!value.is_dict()) break;
      const TypeSpec& element = members_[0];
      if (element.kind_ == Kind::kAny) return value;
      Dict out;
      out.reserve(value.as_dict().size());
      for (const auto& [k, item] : value.as_dict()) {
        auto converted = element.try_validate(item);
        if (!converted) return std::nullopt;
        out.append(k, std::move(*converted));
      }
      return Value(std::move(out));
    }
    case Kind::kObject:
      if (value.is_object() && is_instance_(*value.as_object())) return value;
      if (is_chunk_ && value.is_dict()) {
        const Dict& d = value.as_dict();
        const Value* id = d.find("id");
        if (!id || !id->is_string()) break;
        const Value* content = d.find("content");
        const Value* metadata = d.find("metadata");
        const Value* score = d.find("score");
        if (content && !content->is_string()) break;
        if (metadata && !metadata->is_dict() && !metadata->is_none()) break;
        if (score && !score->is_number() && !score->is_none()) break;
        return Value(make_chunk(id->as_string(), content ? content->as_string() : std::string(),
                                metadata && metadata->is_dict() ? metadata->as_dict() : Dict(),
                                score && score->is_number() ? std::optional<double>(score->as_double())
                                                            : std::nullopt));
      }
      break;
    case Kind::kRecord:
      if (value.is_object()) {
        if (auto* r = value.get_if<Record>(); r && r->schema()->is_same_or_derived_from(*schema_)) return value;
        break;
      }
      if (value.is_dict()) {
        // Nested records report their own failures by exception; rare enough
        // (a record inside a union) not to need a second path.
        try {
          return schema_->validate(value);
        } catch (const ValidationError&) {
          return std::nullopt;
        }
      }
      break;
    case Kind::kUnion:
      for (const auto& member : members_) {
        if (auto v = member.try_validate(value)) return v;
      }
      break;
  }
  return std::nullopt;
}

void TypeSpec::raise_mismatch(const Value& value, std::string_view path) const {
  // Containers name the element that failed; a nested record reports in
  // its own terms; everything else names this type.
  if (kind_ == Kind::kList && value.is_list()) {
    std::size_t i = 0;
    for (const auto& item : value.as_list()) {
      if (!members_[0].try_validate(item)) members_[0].raise_mismatch(item, join_path(path, std::to_string(i)));
      ++i;
    }
  } else if (kind_ == Kind::kDict && value.is_dict()) {
    for (const auto& [k, item] : value.as_dict()) {
      if (!members_[0].try_validate(item)) members_[0].raise_mismatch(item, join_path(path, k));
    }
  } else if (kind_ == Kind::kRecord && value.is_dict()) {
    schema_->validate(value);
  }
  fail(path, *this, value);
}

Field Field::required(std::string name, TypeSpec type, std::string description) {
  return Field{std::move(name), std::move(type), nullptr, std::move(description)};
}

Field Field::with_default(std::string name, TypeSpec type, Value default_value, std::string description) {
  std::optional<Value> plain;
  if (!holds_record(default_value)) plain = default_value;
  return Field{std::move(name), std::move(type), [v = std::move(default_value)] { return fresh_copy(v); },
               std::move(description), std::move(plain)};
}

Field Field::with_factory(std::string name, TypeSpec type, std::function<Value()> factory, std::string description) {
  return Field{std::move(name), std::move(type), std::move(factory), std::move(description)};
}

SchemaPtr Schema::create(std::string name, std::vector<Field> fields, SchemaPtr parent) {
  std::shared_ptr<Schema> s(new Schema());
  s->name_ = std::move(name);
  if (parent) s->fields_ = parent->fields_;
  for (auto& f : fields) {
    bool replaced = false;
    for (auto& existing : s->fields_) {
      if (existing.name == f.name) {
        existing = f;
        replaced = true;
        break;
      }
    }
    if (!replaced) s->fields_.push_back(std::move(f));
  }
  s->parent_ = std::move(parent);
  if (std::all_of(s->fields_.begin(), s->fields_.end(), [](const Field& f) { return f.plain_default.has_value(); })) {
    Dict defaults;
    defaults.reserve(s->fields_.size());
    for (const auto& f : s->fields_) defaults.append(f.name, *f.plain_default);
    s->plain_defaults_ = std::move(defaults);
  }
  return s;
}

const Field* Schema::field(std::string_view name) const noexcept {
  for (const auto& f : fields_)
    if (f.name == name) return &f;
  return nullptr;
}

bool Schema::is_same_or_derived_from(const Schema& other) const noexcept {
  for (const Schema* s = this; s; s = s->parent_.get())
    if (s == &other) return true;
  return false;
}

// Field names are distinct (`create` replaces a re-declared field), so the
// values are appended without a search per field.
Dict Schema::make_values(const Dict& values) const {
  if (plain_defaults_) {
    // Start from the defaults and replace the given fields in place.
    Dict out = *plain_defaults_;
    auto entry = out.begin();
    for (const auto& f : fields_) {
      if (const Value* given = values.find(f.name)) entry->second = f.type.validate(*given, f.name);
      ++entry;
    }
    return out;
  }
  Dict out;
  out.reserve(fields_.size());
  for (const auto& f : fields_) {
    if (const Value* given = values.find(f.name)) {
      out.append(f.name, f.type.validate(*given, f.name));
    } else if (!f.is_required()) {
      out.append(f.name, f.make_default());
    } else {
      throw RecordValidationError("Validation failed for " + name_ + ": field `" + f.name +
                            "` is required. Pass a value for it and retry.");
    }
  }
  return out;
}

RecordPtr Schema::make(const Dict& values) const {
  return std::make_shared<Record>(shared_from_this(), make_values(values));
}

Value Schema::validate(const Value& payload) const {
  if (auto* r = payload.get_if<Record>(); r && r->schema()->is_same_or_derived_from(*this)) return payload;
  if (payload.is_dict()) return make(payload.as_dict());
  throw RecordValidationError("Validation failed for " + name_ + ": expected a " + name_ + " or a mapping of its fields, got " +
                        payload.type_name() + ". Pass a valid " + name_ + " and retry.");
}

Dict Schema::validated_values(const Value& payload) const {
  const Record* record = payload.get_if<Record>();
  if (record && record->schema()->is_same_or_derived_from(*this)) {
    const Dict& given = record->values();
    Dict out;
    out.reserve(fields_.size());
    for (const auto& field : fields_) {
      const Value* v = given.find(field.name);
      if (!v) {
        // A record made through `make` always has its fields; this only
        // guards against a hand-made one that lacks one.
        out.append(field.name,
                   field.is_required() ? field.type.validate(Value(), field.name) : field.default_factory());
        continue;
      }
      out.append(field.name, field.type.validate(*v, field.name));
    }
    return out;
  }
  if (payload.is_dict()) return make_values(payload.as_dict());
  // Anything else is refused with `validate`'s message.
  return validate(payload).get_if<Record>()->values();
}

Dict Schema::defaults() const {
  if (plain_defaults_) return *plain_defaults_;
  Dict out;
  out.reserve(fields_.size());
  for (const auto& f : fields_)
    if (!f.is_required()) out.append(f.name, f.make_default());
  return out;
}

const Value& Record::get(std::string_view field) const {
  if (const Value* v = values_.find(field)) return *v;
  throw UnknownAttributeError("'" + schema_->name() + "' object has no attribute " + quote(field));
}

void Record::set(std::string_view field, Value value) {
  const Field* f = schema_->field(field);
  if (!f) throw UnknownAttributeError("'" + schema_->name() + "' object has no attribute " + quote(field));
  values_.set(field, f->type.validate(value, field));
}

std::string Record::type_name() const { return schema_->name(); }

std::string Record::repr() const {
  std::string out = schema_->name() + "(";
  bool first = true;
  for (const auto& [k, v] : values_) {
    if (!first) out += ", ";
    first = false;
    out += k + "=" + v.repr();
  }
  return out + ")";
}

bool Record::equals(const Object& other) const noexcept {
  auto* r = dynamic_cast<const Record*>(&other);
  return r && r->schema_ == schema_ && r->values_ == values_;
}

}  // namespace vorn_core
