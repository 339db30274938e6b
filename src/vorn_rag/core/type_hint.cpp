#include "vorn_rag/core/type_hint.hpp"

#include <map>
#include <mutex>

#include "vorn_core/callable.hpp"

namespace vorn_rag::core {

TypeHint TypeHint::of_class(std::string name, InstanceTest test) {
  TypeHint t(Kind::kClass);
  t.name_ = std::move(name);
  t.test_ = std::move(test);
  return t;
}

TypeHint TypeHint::none_type() {
  TypeHint t = of_class("NoneType", [](const vorn_core::Value& v) { return v.is_none(); });
  t.text_ = "None";
  return t;
}

TypeHint TypeHint::str() { return of_class("str", [](const vorn_core::Value& v) { return v.is_string(); }); }
TypeHint TypeHint::integer() {
  return of_class("int", [](const vorn_core::Value& v) { return v.is_int() || v.is_bool(); });
}
TypeHint TypeHint::floating() { return of_class("float", [](const vorn_core::Value& v) { return v.is_float(); }); }
TypeHint TypeHint::boolean() { return of_class("bool", [](const vorn_core::Value& v) { return v.is_bool(); }); }
TypeHint TypeHint::list() { return of_class("list", [](const vorn_core::Value& v) { return v.is_list(); }); }
TypeHint TypeHint::dict() { return of_class("dict", [](const vorn_core::Value& v) { return v.is_dict(); }); }

TypeHint TypeHint::union_of(std::vector<TypeHint> members) {
  TypeHint t(Kind::kUnion);
  t.members_ = std::move(members);
  return t;
}

TypeHint TypeHint::generic(TypeHint origin, std::vector<TypeHint> args) {
  TypeHint t(Kind::kGeneric);
  t.name_ = origin.name_;
  t.members_ = std::move(args);
  t.origin_ = std::make_shared<const TypeHint>(std::move(origin));
  return t;
}

TypeHint TypeHint::callable() {
  TypeHint origin = of_class("Callable", [](const vorn_core::Value& v) { return v.is<vorn_core::Callable>(); });
  TypeHint t = generic(std::move(origin), {});
  t.text_ = "Callable[..., Any]";
  return t;
}

TypeHint TypeHint::any() {
  TypeHint t(Kind::kAny);
  t.name_ = "Any";
  return t;
}

TypeHint TypeHint::type_var(std::string name) {
  TypeHint t(Kind::kTypeVar);
  t.name_ = std::move(name);
  return t;
}

TypeHint TypeHint::unresolved(std::string text) {
  TypeHint t(Kind::kUnresolved);
  t.text_ = std::move(text);
  return t;
}

TypeHint TypeHint::special_form(std::string name, std::string text) {
  TypeHint t(Kind::kSpecialForm);
  t.name_ = std::move(name);
  t.text_ = std::move(text);
  return t;
}

std::string TypeHint::text() const {
  if (!text_.empty()) return text_;
  switch (kind_) {
    case Kind::kUnion: {
      std::string out;
      for (std::size_t i = 0; i < members_.size(); ++i) {
        if (i) out += " | ";
        out += members_[i].text();
      }
      return out;
    }
    case Kind::kGeneric: {
      std::string out = name_ + "[";
      for (std::size_t i = 0; i < members_.size(); ++i) {
        if (i) out += ", ";
        out += members_[i].text();
      }
      return out + "]";
    }
    default: return name_;
  }
}

bool _check_slot_type(const vorn_core::Value& value, const TypeHint& hint) {
  switch (hint.kind()) {
    case TypeHint::Kind::kUnion:
      for (const auto& member : hint.members())
        if (_check_slot_type(value, member)) return true;
      return false;
    case TypeHint::Kind::kGeneric:
      // Origin level only: element and argument types are not looked at.
      return hint.origin() ? hint.origin()->accepts_instance(value) : true;
    case TypeHint::Kind::kClass: return hint.accepts_instance(value);
    case TypeHint::Kind::kAny:
    case TypeHint::Kind::kTypeVar:
    case TypeHint::Kind::kUnresolved:
    case TypeHint::Kind::kSpecialForm: return true;
  }
  return true;
}

namespace {

struct NameRegistry {
  std::mutex mutex;
  std::map<std::string, TypeHint, std::less<>> names;
};

NameRegistry& names() {
  static NameRegistry* r = [] {
    auto* reg = new NameRegistry();
    for (auto t : {TypeHint::str(), TypeHint::integer(), TypeHint::floating(), TypeHint::boolean(), TypeHint::list(),
                   TypeHint::dict(), TypeHint::any()}) {
      reg->names.emplace(t.name(), t);
    }
    reg->names.emplace("None", TypeHint::none_type());
    reg->names.emplace("Callable", TypeHint::callable());
    return reg;
  }();
  return *r;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

void register_type_name(std::string name, TypeHint hint) {
  auto& r = names();
  std::lock_guard lock(r.mutex);
  r.names.insert_or_assign(std::move(name), std::move(hint));
}

std::optional<TypeHint> resolve_type_text(std::string_view text,
                                          const std::vector<std::pair<std::string, TypeHint>>& local_names) {
  auto resolve_name = [&](std::string_view name) -> std::optional<TypeHint> {
    for (const auto& [n, t] : local_names)
      if (n == name) return t;
    auto& r = names();
    std::lock_guard lock(r.mutex);
    auto it = r.names.find(name);
    if (it == r.names.end()) return std::nullopt;
    return it->second;
  };
  std::vector<TypeHint> members;
  std::size_t start = 0;
  while (true) {
    auto bar = text.find('|', start);
    auto part = trim(text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (part.empty()) return std::nullopt;
    auto t = resolve_name(part);
    if (!t) return std::nullopt;
    members.push_back(std::move(*t));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  if (members.size() == 1) return members.front();
  return TypeHint::union_of(std::move(members));
}

}  // namespace vorn_rag::core
