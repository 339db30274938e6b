#include "vorn_core/json.hpp"

#include <cmath>

#include "vorn_core/chunk.hpp"
#include "vorn_core/record.hpp"

namespace vorn_core {

using nlohmann::json;

// Both conversions recurse once per level of nesting. JSON from a file, a
// store or a model may be nested arbitrarily deep (the parser itself does
// not recurse); real data is a few levels deep, so deeper input is refused
// before it can overflow the stack.
constexpr int kMaxDepth = 1000;

static void check_depth(int depth) {
  if (depth > kMaxDepth) {
    throw InvalidValueError("The data is nested more than " + std::to_string(kMaxDepth) +
                     " levels deep, too deep to convert. Flatten it and retry.");
  }
}

static json to_json_at(const Value& value, int depth);
static Value from_json_at(const json& j, int depth);

json to_json(const Value& value) { return to_json_at(value, 0); }
Value from_json(const json& j) { return from_json_at(j, 0); }

json to_json_at(const Value& value, int depth) {
  check_depth(depth);
  switch (value.kind()) {
    case Value::Kind::kNone: return nullptr;
    case Value::Kind::kBool: return value.as_bool();
    case Value::Kind::kInt: return value.as_int();
    case Value::Kind::kFloat: {
      const double d = value.as_double();
      return std::isfinite(d) ? json(d) : json(nullptr);
    }
    case Value::Kind::kString: return value.as_string();
    case Value::Kind::kList: {
      json out = json::array();
      for (const Value& v : value.as_list()) out.push_back(to_json_at(v, depth + 1));
      return out;
    }
    case Value::Kind::kDict: {
      json out = json::object();
      for (const auto& [k, v] : value.as_dict()) out[k] = to_json_at(v, depth + 1);
      return out;
    }
    case Value::Kind::kObject: break;
  }
  if (const Chunk* chunk = chunk_of(value)) {
    json out = json::object();
    out["id"] = chunk->id;
    out["content"] = chunk->content;
    out["metadata"] = to_json_at(Value(chunk->metadata), depth + 1);
    out["score"] = chunk->score ? to_json(Value(*chunk->score)) : json(nullptr);
    return out;
  }
  if (const auto* record = value.get_if<Record>()) return to_json_at(Value(record->values()), depth + 1);
  return value.repr();
}

Value from_json_at(const json& j, int depth) {
  check_depth(depth);
  switch (j.type()) {
    case json::value_t::null:
    case json::value_t::discarded: return Value();
    case json::value_t::boolean: return j.get<bool>();
    case json::value_t::number_integer: return j.get<std::int64_t>();
    case json::value_t::number_unsigned: {
      const auto u = j.get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(u);
      return static_cast<double>(u);
    }
    case json::value_t::number_float: return j.get<double>();
    case json::value_t::string: return j.get<std::string>();
    case json::value_t::array: {
      List out;
      out.reserve(j.size());
      for (const json& item : j) out.push_back(from_json_at(item, depth + 1));
      return out;
    }
    case json::value_t::object: {
      Dict out;
      out.reserve(j.size());
      for (const auto& [k, v] : j.items()) out.set(k, from_json_at(v, depth + 1));
      return out;
    }
    case json::value_t::binary: {
      List out;
      for (auto byte : j.get_binary()) out.emplace_back(static_cast<std::int64_t>(byte));
      return out;
    }
  }
  return Value();
}

}  // namespace vorn_core
