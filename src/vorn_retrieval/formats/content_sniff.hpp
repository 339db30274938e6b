// Telling text from binary data by content, whatever a file is named.
#pragma once

#include <string_view>

namespace vorn_retrieval {

// What `bytes` look like when they are not text ("an executable (ELF)",
// "binary data"), or an empty view when they look like text. Only the first
// 8 KiB are examined.
std::string_view binary_kind(std::string_view bytes) noexcept;

}  // namespace vorn_retrieval
