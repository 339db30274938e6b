// The dynamic value that flows through pipelines: state entries, component
// inputs and outputs, named options and run contexts are all `Value`s.
//
// A `Value` holds one of: absent (None), bool, 64-bit integer, double, string,
// list of values, ordered dict (string keys, insertion order kept) or a shared
// pointer to an `Object` (components, chunks, records, pipelines, callables...).
// It has value semantics: copying a list or dict copies its elements (objects
// are shared, not cloned).
#pragma once

#include <cassert>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

namespace vorn_core {

class Object;
class Value;
using ObjectPtr = std::shared_ptr<Object>;
using List = std::vector<Value>;

// Ordered string-keyed mapping. State and option dicts are small (a dozen
// keys), so a flat vector with linear lookup beats a hash map on every
// operation the pipeline performs.
class Dict {
 public:
  using Entry = std::pair<std::string, Value>;
  using iterator = std::vector<Entry>::iterator;
  using const_iterator = std::vector<Entry>::const_iterator;

  Dict() = default;
  Dict(std::initializer_list<Entry> entries);

  // Returns the value under `key`, or nullptr when the key is absent.
  Value* find(std::string_view key) noexcept;
  const Value* find(std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

  // Throws `KeyError` when the key is absent.
  const Value& at(std::string_view key) const;
  Value& at(std::string_view key);
  // Value under `key`, or absent when missing (the host's `get`).
  Value get(std::string_view key) const;

  // Inserts an absent value when the key is missing.
  Value& operator[](std::string_view key);
  // Inserts at the end, or replaces in place keeping the key's position.
  void set(std::string_view key, Value value);
  // Inserts at the end without looking for the key first. Only for a key
  // the dict does not hold (a dict filled from a schema's distinct field
  // names): building a state key by key with `set` costs a search per key.
  void append(std::string_view key, Value value);
  // Removes and returns the entry's value; absent when missing.
  Value pop(std::string_view key);
  bool erase(std::string_view key);

  // Defined below `Value`: clang instantiates these vector members where
  // they are written, and they need the complete entry type.
  std::size_t size() const noexcept;
  bool empty() const noexcept;
  void clear() noexcept;
  void reserve(std::size_t n);
  std::vector<std::string> keys() const;

  iterator begin() noexcept { return entries_.begin(); }
  iterator end() noexcept { return entries_.end(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }

  // Same keys with equal values; the order of the entries does not matter.
  friend bool operator==(const Dict& a, const Dict& b);

 private:
  std::vector<Entry> entries_;
};

class Value {
 public:
  enum class Kind { kNone, kBool, kInt, kFloat, kString, kList, kDict, kObject };
  using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string, List, Dict, ObjectPtr>;

  Value() noexcept = default;
  Value(std::nullptr_t) noexcept {}
  Value(std::nullopt_t) noexcept {}
  Value(bool b) noexcept : storage_(b) {}
  template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, char>)
  Value(I i) noexcept : storage_(static_cast<std::int64_t>(i)) {}
  template <std::floating_point F>
  Value(F f) noexcept : storage_(static_cast<double>(f)) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(std::string s) noexcept : storage_(std::move(s)) {}
  Value(std::string_view s) : storage_(std::string(s)) {}
  Value(List l) noexcept : storage_(std::move(l)) {}
  Value(Dict d) noexcept : storage_(std::move(d)) {}
  template <class T>
    requires std::derived_from<T, Object>
  // Initialised in place: assigning after default construction makes g++ 12
  // at -O1 (asan preset) warn about a maybe-uninitialised variant.
  Value(std::shared_ptr<T> object) noexcept
      : storage_(object ? Storage(std::in_place_type<ObjectPtr>, std::move(object)) : Storage()) {}
  template <class T>
  Value(std::optional<T> maybe) {
    if (maybe) *this = Value(std::move(*maybe));
  }

  Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
  bool is_none() const noexcept { return kind() == Kind::kNone; }
  bool is_bool() const noexcept { return kind() == Kind::kBool; }
  bool is_int() const noexcept { return kind() == Kind::kInt; }
  bool is_float() const noexcept { return kind() == Kind::kFloat; }
  bool is_number() const noexcept { return is_int() || is_float(); }
  bool is_string() const noexcept { return kind() == Kind::kString; }
  bool is_list() const noexcept { return kind() == Kind::kList; }
  bool is_dict() const noexcept { return kind() == Kind::kDict; }
  bool is_object() const noexcept { return kind() == Kind::kObject; }

  // Typed access; each throws `TypeError` naming the expected and actual kind.
  bool as_bool() const;
  std::int64_t as_int() const;
  double as_double() const;  // ints widen
  const std::string& as_string() const;
  std::string& as_string();
  const List& as_list() const;
  List& as_list();
  const Dict& as_dict() const;
  Dict& as_dict();
  const ObjectPtr& as_object() const;

  // The held object as `T`, or nullptr when this is not an object of that type.
  template <class T>
  std::shared_ptr<T> as() const noexcept {
    auto* p = std::get_if<ObjectPtr>(&storage_);
    if (!p) return nullptr;
    if constexpr (std::is_final_v<T>) {
      return exactly<T>(p->get()) ? std::static_pointer_cast<T>(*p) : nullptr;
    } else {
      return std::dynamic_pointer_cast<T>(*p);
    }
  }
  // Raw-pointer twin of `as`, for hot paths that do not keep the object.
  template <class T>
  T* get_if() const noexcept {
    auto* p = std::get_if<ObjectPtr>(&storage_);
    if (!p) return nullptr;
    if constexpr (std::is_final_v<T>) {
      return exactly<T>(p->get()) ? static_cast<T*>(p->get()) : nullptr;
    } else {
      return dynamic_cast<T*>(p->get());
    }
  }
  template <class T>
  bool is() const noexcept {
    return get_if<T>() != nullptr;
  }

  const Storage& storage() const noexcept { return storage_; }

  // Text form: None, True, False, 3, 0.5, the string itself, ['a', 1], {'k': 1}.
  std::string str() const;
  // Quoted form: strings between single quotes with escapes; None for absent.
  std::string repr() const;
  // Truth value: absent, false, 0, 0.0, empty string/list/dict are false.
  bool truthy() const;
  // Name of the held kind as the messages print it ("str", "int", "Chunk"...).
  std::string type_name() const;

  friend bool operator==(const Value& a, const Value& b);

 private:
  // For a final class an exact type test is the whole instance test, and
  // much cheaper than a dynamic cast (records and chunks are tested often).
  // (`Base` is deduced as `Object`, which is only complete where the test
  // is used.)
  template <class T, class Base>
  static bool exactly(const Base* object) noexcept {
    return object && typeid(*object) == typeid(T);
  }

  Storage storage_;
};

// The quoted form of a text: 'docs' (with \ and ' escaped, control characters
// as \n, \t or \xNN).
std::string quote(std::string_view text);

// Inline definitions that need the complete Value.
inline Dict::Dict(std::initializer_list<Entry> entries) {
  entries_.reserve(entries.size());
  for (const auto& e : entries) set(e.first, e.second);
}

namespace detail {
// Key equality for the linear lookups: most keys of a state differ in length
// or in their first letter, which settles them without a call to memcmp.
inline bool same_key(const std::string& a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  if (b.empty()) return true;
  return a[0] == b[0] && std::char_traits<char>::compare(a.data() + 1, b.data() + 1, b.size() - 1) == 0;
}
}  // namespace detail

inline std::size_t Dict::size() const noexcept { return entries_.size(); }
inline bool Dict::empty() const noexcept { return entries_.empty(); }
inline void Dict::clear() noexcept { entries_.clear(); }
inline void Dict::reserve(std::size_t n) { entries_.reserve(n); }

inline Value* Dict::find(std::string_view key) noexcept {
  for (auto& e : entries_)
    if (detail::same_key(e.first, key)) return &e.second;
  return nullptr;
}

inline const Value* Dict::find(std::string_view key) const noexcept {
  for (const auto& e : entries_)
    if (detail::same_key(e.first, key)) return &e.second;
  return nullptr;
}

inline Value Dict::get(std::string_view key) const {
  const Value* v = find(key);
  return v ? *v : Value();
}

inline Value& Dict::operator[](std::string_view key) {
  if (Value* v = find(key)) return *v;
  entries_.emplace_back(std::string(key), Value());
  return entries_.back().second;
}

inline void Dict::set(std::string_view key, Value value) {
  if (Value* v = find(key)) {
    *v = std::move(value);
    return;
  }
  entries_.emplace_back(std::string(key), std::move(value));
}

inline void Dict::append(std::string_view key, Value value) {
  assert(!contains(key) && "Dict::append: the key is already there");
  entries_.emplace_back(std::string(key), std::move(value));
}

}  // namespace vorn_core
