#include <algorithm>
#include <optional>

#include "document_layout.hpp"
#include "vorn_core/markup.hpp"

namespace vorn_retrieval::layout {
namespace {

constexpr std::string_view kAdornments = "=-~^\"'`#*+_:.";
constexpr std::string_view kDelimiters = "-.=*_+/";
constexpr std::size_t kMaxTitleBytes = 160;

struct Line {
  std::size_t begin;
  std::size_t end;  // before the '\n'
  std::string_view text;
};

std::vector<Line> split_lines(std::string_view t) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < t.size()) {
    std::size_t end = t.find('\n', pos);
    if (end == std::string_view::npos) end = t.size();
    lines.push_back({pos, end, t.substr(pos, end - pos)});
    pos = end + 1;
  }
  return lines;
}

std::string_view rtrim(std::string_view s) {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

std::size_t indent_of(std::string_view s) {
  std::size_t n = 0;
  while (n < s.size() && (s[n] == ' ' || s[n] == '\t')) ++n;
  return n;
}

std::size_t code_points(std::string_view s) {
  return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
  }));
}

// A run of one punctuation character at the start of a line.
std::optional<char> adornment(std::string_view line, std::string_view allowed, std::size_t min_length) {
  const std::string_view s = rtrim(line);
  if (s.size() < min_length || allowed.find(s[0]) == std::string_view::npos) return std::nullopt;
  if (!std::all_of(s.begin(), s.end(), [&](char c) { return c == s[0]; })) return std::nullopt;
  return s[0];
}

bool title_text(std::string_view line) {
  const std::string_view s = rtrim(line);
  return !s.empty() && s.size() <= kMaxTitleBytes && indent_of(s) == 0 && !adornment(s, kAdornments, 2);
}

// "- item", "* item", "+ item", "#. item", "12. item", "3) item", AsciiDoc ". item".
bool list_item(std::string_view line) {
  std::string_view s = line.substr(indent_of(line));
  if (s.size() >= 2 && (s[0] == '-' || s[0] == '*' || s[0] == '+' || s[0] == '.') && s[1] == ' ') return true;
  if (s.size() >= 3 && s[0] == '#' && s[1] == '.' && s[2] == ' ') return true;
  std::size_t digits = 0;
  while (digits < s.size() && digits < 3 && s[digits] >= '0' && s[digits] <= '9') ++digits;
  return digits > 0 && digits + 1 < s.size() && (s[digits] == '.' || s[digits] == ')') && s[digits + 1] == ' ';
}

// "--quiet::" (or ":::" in a nested list): a term line of an AsciiDoc
// labeled list.
bool labeled_term_line(std::string_view line) {
  const std::string_view t = rtrim(line.substr(indent_of(line)));
  return t.size() >= 3 && t.substr(t.size() - 2) == "::" && t.substr(0, 3) != ".. " && t.find_first_not_of(':') != std::string_view::npos;
}

bool code_directive(std::string_view line) {
  const std::string_view s = line.substr(indent_of(line));
  for (std::string_view d : {".. code-block::", ".. code::", ".. sourcecode::", ".. doctest::", ".. testcode::",
                             ".. testoutput::", ".. productionlist::", ".. literalinclude::"}) {
    if (s.substr(0, d.size()) == d) return true;
  }
  return false;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : t_(text), lines_(split_lines(text)) {}

  Layout parse() {
    layout_.sections.push_back({0, 0, {}});
    for (std::size_t i = 0; i < lines_.size();) i = step(i);
    return std::move(layout_);
  }

 private:
  bool blank(std::size_t i) const { return i >= lines_.size() || is_blank(lines_[i].text); }

  std::size_t step(std::size_t i) {
    const std::string_view line = lines_[i].text;
    const bool after_break = i == 0 || blank(i - 1);
    // Overlined title: adornment, title, the same adornment.
    if (after_break && i + 2 < lines_.size()) {
      const auto over = adornment(line, kAdornments, 2);
      const auto under = adornment(lines_[i + 2].text, kAdornments, 2);
      if (over && under && *over == *under && !is_blank(lines_[i + 1].text) &&
          rtrim(lines_[i + 1].text).size() <= kMaxTitleBytes) {
        heading(std::string(1, *over) + "o", lines_[i + 1].text, lines_[i].begin, i + 3);
        return i + 3;
      }
    }
    // Underlined title.
    if (after_break && title_text(line) && i + 1 < lines_.size()) {
      if (const auto under = adornment(lines_[i + 1].text, kAdornments, 2)) {
        const std::size_t title_length = code_points(rtrim(line));
        if (rtrim(lines_[i + 1].text).size() + 2 >= title_length) {
          heading(std::string(1, *under) + "u", line, lines_[i].begin, i + 2);
          return i + 2;
        }
      }
    }
    // AsciiDoc one-line title: "== Title".
    if (after_break && line.size() > 2 && line[0] == '=') {
      std::size_t n = 0;
      while (n < line.size() && line[n] == '=') ++n;
      if (n <= 6 && n < line.size() && line[n] == ' ') {
        heading("=" + std::to_string(n), line.substr(n + 1), lines_[i].begin, i + 1);
        return i + 1;
      }
    }
    // AsciiDoc delimited block, kept whole up to its closing line.
    if (after_break && adornment(line, kDelimiters, 4)) {
      for (std::size_t j = i + 1; j < lines_.size(); ++j) {
        if (rtrim(lines_[j].text) == rtrim(line)) {
          keep(lines_[i].begin, lines_[j].end);
          return j + 1;
        }
      }
    }
    // Literal block after "::", or the body of a code directive.
    const std::string_view trimmed = rtrim(line);
    if (!trimmed.empty() && (code_directive(line) || (trimmed.size() >= 2 && trimmed.substr(trimmed.size() - 2) == "::" &&
                                                      trimmed.substr(indent_of(trimmed), 3) != ".. "))) {
      const std::size_t base = indent_of(line);
      std::size_t j = i + 1;
      std::size_t last = i;
      while (j < lines_.size() && (blank(j) || indent_of(lines_[j].text) > base)) {
        if (!blank(j)) last = j;
        ++j;
      }
      if (last > i) {
        std::size_t first = i + 1;
        while (first < last && blank(first)) ++first;
        // Right under its "::" line (no blank between), the block is an
        // AsciiDoc labeled list item's description: it stays with its
        // terms ("-q::" and "--quiet::" above it), which name what it is about.
        std::size_t start = first;
        if (first == i + 1 && labeled_term_line(line)) {
          start = i;
          while (start > 0 && !blank(start - 1) && labeled_term_line(lines_[start - 1].text)) --start;
        }
        keep(lines_[start].begin, lines_[last].end);
        return last + 1;
      }
    }
    // Doctest session: ">>>" lines and their output up to a blank line.
    if (after_break && line.substr(indent_of(line), 4) == ">>> ") {
      std::size_t j = i;
      while (j + 1 < lines_.size() && !blank(j + 1)) ++j;
      keep(lines_[i].begin, lines_[j].end);
      return j + 1;
    }
    // A list: items, their indented continuation lines and blank lines between them.
    if (after_break && list_item(line)) {
      const std::size_t base = indent_of(line);
      std::size_t last = i;
      for (std::size_t j = i + 1; j < lines_.size(); ++j) {
        if (blank(j)) continue;
        const std::string_view l = lines_[j].text;
        if (indent_of(l) < base || (indent_of(l) == base && !list_item(l))) break;
        last = j;
      }
      if (last > i) keep(lines_[i].begin, lines_[last].end);
      return last + 1;
    }
    return i + 1;
  }

  void keep(std::size_t begin, std::size_t end) { layout_.keep_whole.push_back({begin, end}); }

  void heading(const std::string& style, std::string_view title_line, std::size_t begin, std::size_t next_line) {
    std::size_t level = std::find(styles_.begin(), styles_.end(), style) - styles_.begin();
    if (level == styles_.size()) styles_.push_back(style);
    std::string title = vorn_core::strip_inline_markup(rtrim(title_line.substr(indent_of(title_line))));
    while (!path_.empty() && path_.back().first >= level) path_.pop_back();
    path_.emplace_back(level, std::move(title));
    std::string joined;
    for (const auto& [l, text] : path_) {
      if (text.empty()) continue;
      if (!joined.empty()) joined += " > ";
      joined += text;
    }
    const std::size_t body = next_line < lines_.size() ? lines_[next_line].begin : t_.size();
    layout_.sections.push_back({begin, body, std::move(joined)});
  }

  std::string_view t_;
  std::vector<Line> lines_;
  Layout layout_;
  std::vector<std::string> styles_;
  std::vector<std::pair<std::size_t, std::string>> path_;
};

}  // namespace

Layout parse_light_markup(std::string_view text) { return Parser(text).parse(); }

}  // namespace vorn_retrieval::layout
