#include "vorn_core/value.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "vorn_core/error.hpp"
#include "vorn_core/object.hpp"

namespace vorn_core {
namespace {

const char* kind_name(Value::Kind kind) {
  switch (kind) {
    case Value::Kind::kNone: return "NoneType";
    case Value::Kind::kBool: return "bool";
    case Value::Kind::kInt: return "int";
    case Value::Kind::kFloat: return "float";
    case Value::Kind::kString: return "str";
    case Value::Kind::kList: return "list";
    case Value::Kind::kDict: return "dict";
    case Value::Kind::kObject: return "object";
  }
  return "object";
}

[[noreturn]] void wrong_kind(const Value& v, const char* expected) {
  throw InvalidTypeError(std::string("Expected a value of type ") + expected + ", got " + v.type_name() + ".");
}

// Shortest text that reads back as the same double, printed the way the host
// prints floats: "0.5", "3.0", "1e-05", "1e+16", "inf", "nan".
std::string format_double(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  const double mag = std::fabs(d);
  if (d == 0.0 || (mag >= 1e-4 && mag < 1e16)) {
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
    std::string s(buf, end);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
  }
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string s(buf, end);
  // Exponent with at least two digits: 1e-05, 1e+16.
  auto e = s.find('e');
  if (e != std::string::npos && e + 2 < s.size() + 1) {
    std::string mant = s.substr(0, e);
    char sign = s[e + 1];
    std::string digits = s.substr(e + 2);
    if (digits.size() < 2) digits = "0" + digits;
    s = mant + "e" + sign + digits;
  }
  return s;
}

// Text forms recurse once per level of nesting. Real values are a few levels
// deep; a value nested deeper than this was built by a runaway loop or from
// hostile input, and recursing through it would overflow the stack.
constexpr int kMaxTextDepth = 1000;

void append_repr(std::string& out, const Value& v, int depth = 0);

void append_str(std::string& out, const Value& v) {
  if (v.is_string()) {
    out += v.as_string();
  } else {
    append_repr(out, v);
  }
}

void append_repr(std::string& out, const Value& v, int depth) {
  if (depth > kMaxTextDepth) {
    throw InvalidValueError("The value is nested more than " + std::to_string(kMaxTextDepth) +
                     " levels deep, too deep for a text form. Flatten the value and retry.");
  }
  switch (v.kind()) {
    case Value::Kind::kNone: out += "None"; break;
    case Value::Kind::kBool: out += v.as_bool() ? "True" : "False"; break;
    case Value::Kind::kInt: out += std::to_string(v.as_int()); break;
    case Value::Kind::kFloat: out += format_double(v.as_double()); break;
    case Value::Kind::kString: out += quote(v.as_string()); break;
    case Value::Kind::kList: {
      out += '[';
      bool first = true;
      for (const auto& e : v.as_list()) {
        if (!first) out += ", ";
        first = false;
        append_repr(out, e, depth + 1);
      }
      out += ']';
      break;
    }
    case Value::Kind::kDict: {
      out += '{';
      bool first = true;
      for (const auto& [k, e] : v.as_dict()) {
        if (!first) out += ", ";
        first = false;
        out += quote(k);
        out += ": ";
        append_repr(out, e, depth + 1);
      }
      out += '}';
      break;
    }
    case Value::Kind::kObject: out += v.as_object()->repr(); break;
  }
}

}  // namespace

std::string quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\'': out += "\\'"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '\'';
  return out;
}

const Value& Dict::at(std::string_view key) const {
  if (const Value* v = find(key)) return *v;
  throw UnknownKeyError(quote(key));
}

Value& Dict::at(std::string_view key) {
  if (Value* v = find(key)) return *v;
  throw UnknownKeyError(quote(key));
}

Value Dict::pop(std::string_view key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      Value v = std::move(it->second);
      entries_.erase(it);
      return v;
    }
  }
  return Value();
}

bool Dict::erase(std::string_view key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::string> Dict::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.first);
  return out;
}

// Mappings compare like the host's: same keys with equal values, in any order.
bool operator==(const Dict& a, const Dict& b) {
  if (a.entries_.size() != b.entries_.size()) return false;
  for (const auto& [key, value] : a.entries_) {
    const Value* other = b.find(key);
    if (!other || !(value == *other)) return false;
  }
  return true;
}

bool Value::as_bool() const {
  if (auto* b = std::get_if<bool>(&storage_)) return *b;
  wrong_kind(*this, "bool");
}

std::int64_t Value::as_int() const {
  if (auto* i = std::get_if<std::int64_t>(&storage_)) return *i;
  wrong_kind(*this, "int");
}

double Value::as_double() const {
  if (auto* d = std::get_if<double>(&storage_)) return *d;
  if (auto* i = std::get_if<std::int64_t>(&storage_)) return static_cast<double>(*i);
  wrong_kind(*this, "float");
}

const std::string& Value::as_string() const {
  if (auto* s = std::get_if<std::string>(&storage_)) return *s;
  wrong_kind(*this, "str");
}

std::string& Value::as_string() {
  if (auto* s = std::get_if<std::string>(&storage_)) return *s;
  wrong_kind(*this, "str");
}

const List& Value::as_list() const {
  if (auto* l = std::get_if<List>(&storage_)) return *l;
  wrong_kind(*this, "list");
}

List& Value::as_list() {
  if (auto* l = std::get_if<List>(&storage_)) return *l;
  wrong_kind(*this, "list");
}

const Dict& Value::as_dict() const {
  if (auto* d = std::get_if<Dict>(&storage_)) return *d;
  wrong_kind(*this, "dict");
}

Dict& Value::as_dict() {
  if (auto* d = std::get_if<Dict>(&storage_)) return *d;
  wrong_kind(*this, "dict");
}

const ObjectPtr& Value::as_object() const {
  if (auto* o = std::get_if<ObjectPtr>(&storage_)) return *o;
  wrong_kind(*this, "object");
}

std::string Value::str() const {
  if (is_object()) return as_object()->str();
  std::string out;
  append_str(out, *this);
  return out;
}

std::string Value::repr() const {
  std::string out;
  append_repr(out, *this);
  return out;
}

bool Value::truthy() const {
  switch (kind()) {
    case Kind::kNone: return false;
    case Kind::kBool: return as_bool();
    case Kind::kInt: return as_int() != 0;
    case Kind::kFloat: return as_double() != 0.0;
    case Kind::kString: return !as_string().empty();
    case Kind::kList: return !as_list().empty();
    case Kind::kDict: return !as_dict().empty();
    case Kind::kObject: return as_object()->truthy();
  }
  return true;
}

std::string Value::type_name() const {
  if (is_object()) return as_object()->type_name();
  return kind_name(kind());
}

bool operator==(const Value& a, const Value& b) {
  // Numbers compare by value across int and float, as the host does.
  if (a.is_number() && b.is_number()) {
    if (a.is_int() && b.is_int()) return a.as_int() == b.as_int();
    return a.as_double() == b.as_double();
  }
  if (a.kind() != b.kind()) return false;
  if (a.is_object()) {
    const auto& x = a.as_object();
    const auto& y = b.as_object();
    return x == y || x->equals(*y);
  }
  return a.storage() == b.storage();
}

}  // namespace vorn_core
