#include "filter_sql.hpp"

#include <cstdint>

#include "connection.hpp"
#include "errors.hpp"

namespace vorn_datastore::sqlite {

using nlohmann::json;

bool usable_json_key(std::string_view key) noexcept {
  return key.find('"') == std::string_view::npos && key.find('\0') == std::string_view::npos;
}

std::string quoted_key(std::string_view key) {
  std::string out = "'";
  for (const char c : key) {
    if (static_cast<unsigned char>(c) < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
      out += kHex[static_cast<unsigned char>(c) & 0xF];
    } else {
      out += c;
    }
  }
  return out + "'";
}

FilterSql build_filter_sql(const Filter& filter, int first_param) {
  FilterSql out;
  int next = first_param;
  for (const auto& [key, value] : filter) {
    if (!usable_json_key(key)) {
      throw StoreError(store_errc::kInput, "Metadata filter key " + quoted_key(key) +
                                               " contains a double quote or a NUL byte, which filters do not "
                                               "support. " + advice_for(store_errc::kInput));
    }
    const std::string p = "?" + std::to_string(next++);
    out.params.emplace_back("$.\"" + key + "\"");
    const std::string type = "json_type(c.metadata, " + p + ")";
    const std::string extract = "json_extract(c.metadata, " + p + ")";
    if (!out.where.empty()) out.where += " AND ";
    switch (value.type()) {
      case json::value_t::string: {
        const std::string v = "?" + std::to_string(next++);
        out.params.push_back(value);
        out.where += "(" + type + " = 'text' AND " + extract + " = " + v + ")";
        break;
      }
      case json::value_t::number_integer:
      case json::value_t::number_unsigned:
      case json::value_t::number_float: {
        const std::string v = "?" + std::to_string(next++);
        out.params.push_back(value);
        out.where += "(" + type + " IN ('integer', 'real') AND " + extract + " = " + v + ")";
        break;
      }
      case json::value_t::boolean:
        out.where += "(" + type + (value.get<bool>() ? " = 'true')" : " = 'false')");
        break;
      case json::value_t::null: out.where += "(" + type + " = 'null')"; break;
      case json::value_t::object:
      case json::value_t::array: {
        const std::string v = "?" + std::to_string(next++);
        // Stored metadata is nlohmann output (sorted keys, minified), and so
        // is this dump, so equal values have equal text.
        out.params.emplace_back(value.dump());
        out.where += "(" + type + (value.is_object() ? " = 'object'" : " = 'array'") + " AND " + extract +
                     " = json(" + v + "))";
        break;
      }
      default:
        throw StoreError(store_errc::kInput, "Metadata filter on '" + key + "' has an unsupported value type. " +
                                                 advice_for(store_errc::kInput));
    }
  }
  return out;
}

void bind_filter(Stmt& s, const FilterSql& f, int first_param) {
  int i = first_param;
  for (const json& v : f.params) {
    if (v.is_string()) {
      s.bind(i, std::string_view(v.get_ref<const std::string&>()));
    } else if (v.is_number_integer() && !(v.is_number_unsigned() && v.get<std::uint64_t>() > INT64_MAX)) {
      s.bind(i, v.get<std::int64_t>());
    } else {
      s.bind(i, v.get<double>());
    }
    ++i;
  }
}

}  // namespace vorn_datastore::sqlite
