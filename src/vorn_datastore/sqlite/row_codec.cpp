#include "row_codec.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "errors.hpp"

namespace vorn_datastore::sqlite {

void to_little_endian(std::span<float> v) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    for (float& x : v) {
      auto u = std::bit_cast<std::uint32_t>(x);
      u = ((u & 0xFFU) << 24U) | ((u & 0xFF00U) << 8U) | ((u >> 8U) & 0xFF00U) | (u >> 24U);
      x = std::bit_cast<float>(u);
    }
  }
}

void decode_embedding(std::span<const std::byte> blob, std::vector<float>& out) {
  out.resize(blob.size() / sizeof(float));
  if (!blob.empty()) std::memcpy(out.data(), blob.data(), out.size() * sizeof(float));
  to_little_endian(out);
}

nlohmann::json parse_metadata(std::string_view text, const std::filesystem::path& path) {
  nlohmann::json m = nlohmann::json::parse(text, nullptr, false);
  if (m.is_discarded() || !m.is_object()) raise_corrupt(path, "holds chunk metadata that is not a JSON object");
  return m;
}

}  // namespace vorn_datastore::sqlite
