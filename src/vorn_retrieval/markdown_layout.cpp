#include <algorithm>
#include <optional>
#include <utility>

#include "document_layout.hpp"

namespace vorn_retrieval::layout {
namespace {

// Opening or closing fence: up to three spaces, then three or more '`' or '~'.
std::optional<std::pair<char, std::size_t>> fence_marker(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && i < 3 && line[i] == ' ') ++i;
  if (i >= line.size() || (line[i] != '`' && line[i] != '~')) return std::nullopt;
  const char c = line[i];
  std::size_t n = 0;
  while (i + n < line.size() && line[i + n] == c) ++n;
  if (n < 3) return std::nullopt;
  if (c == '`' && line.substr(i + n).find('`') != std::string_view::npos) return std::nullopt;
  return std::make_pair(c, n);
}

// ATX heading ("## Title ##") -> level and title.
std::optional<std::pair<int, std::string_view>> atx_heading(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && i < 3 && line[i] == ' ') ++i;
  std::size_t level = 0;
  while (i + level < line.size() && line[i + level] == '#') ++level;
  if (level == 0 || level > 6) return std::nullopt;
  std::string_view rest = line.substr(i + level);
  if (!rest.empty() && rest.front() != ' ' && rest.front() != '\t') return std::nullopt;
  while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
  while (!rest.empty() && is_space(rest.back())) rest.remove_suffix(1);
  // An optional closing run of '#' belongs to the syntax, not the title.
  std::size_t hashes = rest.size();
  while (hashes > 0 && rest[hashes - 1] == '#') --hashes;
  if (hashes == 0) {
    rest = {};
  } else if (hashes < rest.size() && is_space(rest[hashes - 1])) {
    rest = rest.substr(0, hashes);
    while (!rest.empty() && is_space(rest.back())) rest.remove_suffix(1);
  }
  return std::make_pair(static_cast<int>(level), rest);
}

}  // namespace

bool is_blank(std::string_view s) noexcept {
  return std::all_of(s.begin(), s.end(), [](char c) { return is_space(c); });
}

Layout parse_markdown(std::string_view t) {
  Layout layout;
  layout.sections.push_back({0, 0, {}});
  std::vector<std::pair<int, std::string>> path;
  char fence_char = 0;  // 0: not inside a fence
  std::size_t fence_length = 0;
  std::size_t fence_begin = 0;

  std::size_t line_begin = 0;
  while (line_begin < t.size()) {
    std::size_t line_end = t.find('\n', line_begin);
    const std::size_t next = line_end == std::string_view::npos ? t.size() : line_end + 1;
    if (line_end == std::string_view::npos) line_end = t.size();
    const std::string_view line = t.substr(line_begin, line_end - line_begin);

    if (fence_char != 0) {
      const auto marker = fence_marker(line);
      if (marker && marker->first == fence_char && marker->second >= fence_length) {
        const std::string_view after = line.substr(line.find_first_not_of(' ') + marker->second);
        if (is_blank(after)) {
          layout.keep_whole.push_back({fence_begin, line_end});
          fence_char = 0;
        }
      }
    } else if (const auto marker = fence_marker(line)) {
      fence_char = marker->first;
      fence_length = marker->second;
      fence_begin = line_begin;
    } else if (const auto heading = atx_heading(line)) {
      while (!path.empty() && path.back().first >= heading->first) path.pop_back();
      path.emplace_back(heading->first, std::string(heading->second));
      std::string joined;
      for (const auto& [level, title] : path) {
        if (title.empty()) continue;
        if (!joined.empty()) joined += " > ";
        joined += title;
      }
      layout.sections.push_back({line_begin, next, std::move(joined)});
    }
    line_begin = next;
  }
  if (fence_char != 0) layout.keep_whole.push_back({fence_begin, t.size()});
  return layout;
}

}  // namespace vorn_retrieval::layout
