// The structure the chunker respects: sections with their heading paths and
// ranges that should not be cut (code and literal blocks, lists).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_retrieval::layout {

// [begin, end) in bytes.
struct Range {
  std::size_t begin;
  std::size_t end;
};

struct Section {
  std::size_t begin;    // start of the heading (0 for text before any heading)
  std::size_t body;     // first byte after the heading
  std::string heading;  // path such as "Install > Debian"; "" before any heading
};

struct Layout {
  std::vector<Section> sections;  // ascending, the first one starts at 0
  std::vector<Range> keep_whole;  // ascending, not overlapping
};

constexpr bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool is_blank(std::string_view s) noexcept;

// Markdown: ATX headings, fenced code blocks.
Layout parse_markdown(std::string_view text);

// reStructuredText and AsciiDoc: titles underlined (and optionally
// overlined) with a run of punctuation, AsciiDoc "== Title" lines; literal
// blocks after "::", code directives, AsciiDoc delimited blocks ("----",
// "....") and lists are kept whole. Heading levels follow the order in
// which each adornment style first appears, as both formats define them.
Layout parse_light_markup(std::string_view text);

}  // namespace vorn_retrieval::layout
