#include "vorn_datastore/data_store.hpp"

#include <algorithm>

#include "vorn_core/error.hpp"

namespace vorn_datastore {

std::string_view to_string(CapabilityType type) noexcept {
  switch (type) {
    case CapabilityType::VECTOR: return "vector";
    case CapabilityType::FULLTEXT: return "fulltext";
  }
  return "unknown";
}

CapabilitySet::CapabilitySet(std::initializer_list<CapabilityType> types) {
  for (auto t : types) add(t);
}

bool CapabilitySet::contains(CapabilityType type) const noexcept {
  return std::find(types_.begin(), types_.end(), type) != types_.end();
}

void CapabilitySet::add(CapabilityType type) {
  if (!contains(type)) types_.push_back(type);
}

std::string CapabilitySet::str() const {
  std::string out = "[";
  for (std::size_t i = 0; i < types_.size(); ++i) {
    if (i) out += ", ";
    out += types_[i] == CapabilityType::VECTOR ? "CapabilityType.VECTOR" : "CapabilityType.FULLTEXT";
  }
  return out + "]";
}

std::vector<std::pair<std::string, vorn_core::Value>> parse_query_filter(const vorn_core::Value& query_filter) {
  std::vector<std::pair<std::string, vorn_core::Value>> out;
  if (query_filter.is_none()) return out;
  if (!query_filter.is_dict()) {
    throw vorn_core::InvalidTypeError("Invalid `query_filter`: expected a mapping from metadata key to value, got " +
                               query_filter.type_name() + ". Pass a mapping and retry.");
  }
  for (const auto& [k, v] : query_filter.as_dict()) out.emplace_back(k, v);
  return out;
}

bool matches_filter(const vorn_core::Dict& metadata,
                    const std::vector<std::pair<std::string, vorn_core::Value>>& filter) noexcept {
  for (const auto& [key, expected] : filter) {
    const vorn_core::Value* actual = metadata.find(key);
    if (!actual || !(*actual == expected)) return false;
  }
  return true;
}

}  // namespace vorn_datastore
