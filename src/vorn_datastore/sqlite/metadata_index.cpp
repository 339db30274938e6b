#include "metadata_index.hpp"

#include <algorithm>
#include <cmath>

namespace vorn_datastore::sqlite {
namespace {

using nlohmann::json;

std::string value_token(const json& v) {
  switch (v.type()) {
    case json::value_t::string: return "s" + v.get<std::string>();
    case json::value_t::boolean: return v.get<bool>() ? "b1" : "b0";
    case json::value_t::null: return "z";
    case json::value_t::number_integer: return "n" + std::to_string(v.get<std::int64_t>());
    case json::value_t::number_unsigned: return "n" + std::to_string(v.get<std::uint64_t>());
    case json::value_t::number_float: {
      const double d = v.get<double>();
      // 2021.0 must meet 2021, as it does in SQL.
      if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18) {
        return "n" + std::to_string(static_cast<std::int64_t>(d));
      }
      return "n" + v.dump();
    }
    default: return "j" + v.dump();
  }
}

}  // namespace

void MetadataIndex::reset() noexcept {
  built_ = false;
  slots_.clear();
  keys_.clear();
  values_.clear();
}

void MetadataIndex::add(const json& metadata) {
  std::vector<Pair> pairs;
  if (metadata.is_object()) {
    pairs.reserve(metadata.size());
    for (const auto& [key, value] : metadata.items()) {
      pairs.emplace_back(intern(keys_, key), intern(values_, value_token(value)));
    }
    std::sort(pairs.begin(), pairs.end());
  }
  slots_.push_back(std::move(pairs));
}

void MetadataIndex::erase(std::span<const std::size_t> slots) noexcept {
  std::size_t write = 0;
  std::size_t next = 0;
  for (std::size_t read = 0; read < slots_.size(); ++read) {
    while (next < slots.size() && slots[next] < read) ++next;
    if (next < slots.size() && slots[next] == read) continue;
    if (write != read) slots_[write] = std::move(slots_[read]);
    ++write;
  }
  slots_.resize(write);
}

std::vector<std::size_t> MetadataIndex::matching(const Filter& filter) const {
  std::vector<Pair> wanted;
  for (const auto& [key, value] : filter) {
    const auto k = keys_.find(key);
    const auto v = values_.find(value_token(value));
    if (k == keys_.end() || v == values_.end()) return {};  // never stored: nothing matches
    wanted.emplace_back(k->second, v->second);
  }
  std::vector<std::size_t> out;
  for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
    const auto& have = slots_[slot];
    const bool all = std::all_of(wanted.begin(), wanted.end(),
                                 [&](const Pair& p) { return std::binary_search(have.begin(), have.end(), p); });
    if (all) out.push_back(slot);
  }
  return out;
}

std::uint32_t MetadataIndex::intern(std::unordered_map<std::string, std::uint32_t>& table, const std::string& s) {
  return table.emplace(s, static_cast<std::uint32_t>(table.size())).first->second;
}

}  // namespace vorn_datastore::sqlite
