// Section titles of AsciiDoc and reStructuredText as Markdown heading lines.
// Only lines are looked at: a title is recognised by its own line (AsciiDoc)
// or by the punctuation line under it (reStructuredText); literal blocks are
// left alone so code in them is never taken for a title.
#include <map>
#include <utility>
#include <vector>

#include "vorn_retrieval/document_formats.hpp"

namespace vorn_retrieval {
namespace {

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      if (start < text.size()) lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string heading_line(std::size_t level, std::string_view title) {
  return std::string(std::min<std::size_t>(level, 6), '#') + " " + std::string(trim(title));
}

// "----", "....", "````" and the like open and close AsciiDoc literal and
// listing blocks.
bool is_asciidoc_delimiter(std::string_view line) {
  line = trim(line);
  if (line.size() < 4) return false;
  const char c = line.front();
  if (c != '-' && c != '.' && c != '`' && c != '+' && c != '/') return false;
  return line.find_first_not_of(c) == std::string_view::npos;
}

// A line of one repeated punctuation character, as reStructuredText section
// adornments are.
bool is_adornment(std::string_view line) {
  line = trim(line);
  if (line.size() < 2) return false;
  static constexpr std::string_view kPunctuation = "=-`:'\"~^_*+#<>.";
  if (kPunctuation.find(line.front()) == std::string_view::npos) return false;
  return line.find_first_not_of(line.front()) == std::string_view::npos;
}

std::size_t display_width(std::string_view s) {
  std::size_t n = 0;
  for (const char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0U) != 0x80U) ++n;  // count code points, not bytes
  }
  return n;
}

}  // namespace

std::string asciidoc_to_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::string_view open_block;
  for (const std::string_view line : lines_of(text)) {
    if (is_asciidoc_delimiter(line)) {
      if (open_block.empty()) {
        open_block = trim(line);
      } else if (trim(line) == open_block) {
        open_block = {};
      }
    }
    std::size_t level = 0;
    if (open_block.empty()) {
      while (level < line.size() && line[level] == '=') ++level;
      if (level == 0 || level > 6 || level >= line.size() || line[level] != ' ' || trim(line.substr(level)).empty()) {
        level = 0;
      }
    }
    out += level > 0 ? heading_line(level, line.substr(level)) : std::string(line);
    out += '\n';
  }
  return out;
}

std::string restructured_text_to_text(std::string_view text) {
  const std::vector<std::string_view> lines = lines_of(text);
  // Levels follow the order in which adornment styles first appear.
  std::map<std::pair<char, bool>, std::size_t> levels;
  std::string out;
  out.reserve(text.size());
  bool literal = false;  // inside an indented block after "::"
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (literal && !trim(line).empty() && line.front() != ' ' && line.front() != '\t') literal = false;
    const std::string_view title = trim(line);
    const bool candidate = !literal && !title.empty() && !is_adornment(line) && line.front() != ' ' &&
                           i + 1 < lines.size() && is_adornment(lines[i + 1]) &&
                           display_width(trim(lines[i + 1])) >= display_width(title);
    if (candidate) {
      const char mark = trim(lines[i + 1]).front();
      const bool overlined = !out.empty() && i > 0 && is_adornment(lines[i - 1]) && trim(lines[i - 1]).front() == mark;
      if (overlined) {
        // The overline was copied already: take it back.
        const std::size_t cut = out.rfind('\n', out.size() - 2);
        out.erase(cut == std::string::npos ? 0 : cut + 1);
      }
      const auto [it, fresh] = levels.emplace(std::make_pair(mark, overlined), levels.size() + 1);
      out += heading_line(it->second, title);
      out += '\n';
      ++i;  // the underline
      continue;
    }
    if (title.size() >= 2 && title.substr(title.size() - 2) == "::") literal = true;
    out += line;
    out += '\n';
  }
  return out;
}

}  // namespace vorn_retrieval
