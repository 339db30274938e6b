// Counts in what the command line prints: "1 chunk", "2 chunks".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorn_cli {

// `count` and the noun, with an "s" unless the count is one.
inline std::string counted(std::size_t count, std::string_view noun) {
  std::string out = std::to_string(count);
  out += ' ';
  out += noun;
  if (count != 1) out += 's';
  return out;
}

}  // namespace vorn_cli
