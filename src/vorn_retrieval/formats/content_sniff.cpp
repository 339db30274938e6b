#include "content_sniff.hpp"

#include <array>
#include <cstddef>
#include <utility>

namespace vorn_retrieval {
namespace {

constexpr std::size_t kSniffBytes = 8192;

struct Magic {
  std::string_view prefix;
  std::string_view kind;
};

using namespace std::string_view_literals;

constexpr std::array kMagics{
    Magic{"\x7F" "ELF"sv, "an executable (ELF)"sv},
    Magic{"%PDF-"sv, "a PDF (name it .pdf to index its text)"sv},
    Magic{"PK\x03\x04"sv, "a ZIP archive"sv},
    Magic{"\x1F\x8B"sv, "gzip-compressed data"sv},
    Magic{"\xFD" "7zXZ"sv, "xz-compressed data"sv},
    Magic{"BZh91AY&SY"sv, "bzip2-compressed data"sv},
    Magic{"\x89PNG"sv, "a PNG image"sv},
    Magic{"\xFF\xD8\xFF"sv, "a JPEG image"sv},
    Magic{"GIF8"sv, "a GIF image"sv},
    Magic{"SQLite format 3\0"sv, "a SQLite database"sv},
    Magic{"\xCA\xFE\xBA\xBE"sv, "compiled code"sv},
};

// Bytes that never occur in text files: controls other than tab, line and
// page breaks, and escape (terminal colours in logs).
bool is_binary_control(unsigned char c) noexcept {
  return c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v' && c != 0x1B;
}

}  // namespace

std::string_view binary_kind(std::string_view bytes) noexcept {
  for (const Magic& m : kMagics) {
    if (bytes.substr(0, m.prefix.size()) == m.prefix) return m.kind;
  }
  const std::string_view head = bytes.substr(0, kSniffBytes);
  if (head.find('\0') != std::string_view::npos) return "binary data (NUL bytes)";
  std::size_t controls = 0;
  for (const char c : head) controls += is_binary_control(static_cast<unsigned char>(c)) ? 1 : 0;
  // A stray control byte happens in text; one in a hundred bytes does not.
  if (controls * 100 > head.size()) return "binary data (control bytes)";
  return {};
}

}  // namespace vorn_retrieval
