#include "json_text.hpp"

#include <nlohmann/json.hpp>

namespace vorn_serve {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The bounds a well-formed sequence's second byte must lie in, given its
// first byte (which excludes overlong forms, surrogates and code points
// past U+10FFFF); 0 when the byte cannot start a sequence.
struct Lead {
  int length = 0;
  unsigned char low = 0x80, high = 0xBF;
};

Lead lead_of(unsigned char c) {
  if (c >= 0xC2 && c <= 0xDF) return {2};
  if (c == 0xE0) return {3, 0xA0, 0xBF};
  if (c == 0xED) return {3, 0x80, 0x9F};
  if (c >= 0xE1 && c <= 0xEF) return {3};
  if (c == 0xF0) return {4, 0x90, 0xBF};
  if (c >= 0xF1 && c <= 0xF3) return {4};
  if (c == 0xF4) return {4, 0x80, 0x8F};
  return {};
}

void append_escaped_ascii(std::string& out, char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (static_cast<unsigned char>(c) < 0x20) {
    constexpr char kHex[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(c);
    out += "\\u00";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
    return;
  }
  out += c;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    // Runs of plain bytes go out in one append.
    std::size_t plain = i;
    while (plain < text.size()) {
      const auto c = static_cast<unsigned char>(text[plain]);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      ++plain;
    }
    out.append(text, i, plain - i);
    i = plain;
    if (i == text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      append_escaped_ascii(out, text[i]);
      ++i;
      continue;
    }
    const Lead lead = lead_of(c);
    if (lead.length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    int valid = 1;
    while (valid < lead.length && i + static_cast<std::size_t>(valid) < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(valid)]);
      const unsigned char low = valid == 1 ? lead.low : 0x80, high = valid == 1 ? lead.high : 0xBF;
      if (next < low || next > high) break;
      ++valid;
    }
    if (valid == lead.length) {
      out.append(text, i, static_cast<std::size_t>(valid));
    } else {
      // The byte that broke the sequence may start the next one.
      out += kReplacement;
    }
    i += static_cast<std::size_t>(valid);
  }
  out += '"';
}

void append_json_number(std::string& out, double value) {
  // The library's own formatting, so numbers read exactly as dump() writes them.
  out += nlohmann::json(value).dump();
}

}  // namespace vorn_serve
