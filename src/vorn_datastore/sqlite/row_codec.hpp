// How chunk rows hold embeddings and metadata in the file.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorn_datastore::sqlite {

// Embeddings are stored as little-endian float32 whatever the host; the swap
// is its own inverse, so this both encodes and decodes.
void to_little_endian(std::span<float> v) noexcept;

void decode_embedding(std::span<const std::byte> blob, std::vector<float>& out);

// Stored metadata text as a JSON object; StoreError(kCorrupt) otherwise.
nlohmann::json parse_metadata(std::string_view text, const std::filesystem::path& path);

}  // namespace vorn_datastore::sqlite
