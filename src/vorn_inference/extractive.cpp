#include "vorn_inference/extractive.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "vorn_core/error.hpp"
#include "vorn_core/markup.hpp"
#include "vorn_core/text.hpp"

namespace vorn_inference {
namespace {

// --- text units ----------------------------------------------------------------

constexpr std::size_t kMinUnitWords = 3;
constexpr std::size_t kMaxCodeLines = 4;
constexpr std::size_t kMaxCodeChars = 200;

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool ends_with(std::string_view s, std::string_view p) { return s.size() >= p.size() && s.substr(s.size() - p.size()) == p; }

// "## Title ##" -> "Title"; nullopt-like empty flag when not a heading.
bool heading_title(std::string_view line, std::string& title) {
  std::string_view s = line;
  std::size_t indent = 0;
  while (indent < s.size() && indent < 3 && s[indent] == ' ') ++indent;
  s.remove_prefix(indent);
  std::size_t level = 0;
  while (level < s.size() && s[level] == '#') ++level;
  if (level == 0 || level > 6 || (level < s.size() && s[level] != ' ' && s[level] != '\t')) return false;
  s = trim(s.substr(level));
  while (!s.empty() && s.back() == '#') s.remove_suffix(1);
  title = std::string(trim(s));
  return true;
}

bool is_fence(std::string_view line) {
  const std::string_view s = trim(line);
  return starts_with(s, "```") || starts_with(s, "~~~");
}

// Length of a list marker ("- ", "* ", "+ ", "12. ", "3) ", and AsciiDoc's
// "** " and ". ") at the start of a trimmed line, 0 when there is none.
// (AsciiDoc's ".. " is read as the reStructuredText comment it also is.)
std::size_t list_marker(std::string_view s) {
  if (s.size() >= 2 && (s[0] == '-' || s[0] == '*' || s[0] == '+') && s[1] == ' ') return 2;
  // AsciiDoc nests lists by repeating the marker: "** item", "*** item".
  if (!s.empty() && (s[0] == '*' || s[0] == '.')) {
    std::size_t n = 0;
    while (n < s.size() && n < 5 && s[n] == s[0]) ++n;
    if ((n >= 2 || s[0] == '.') && n + 1 < s.size() && s[n] == ' ') return n + 1;
  }
  std::size_t digits = 0;
  while (digits < s.size() && digits < 3 && s[digits] >= '0' && s[digits] <= '9') ++digits;
  if (digits > 0 && digits + 1 < s.size() && (s[digits] == '.' || s[digits] == ')') && s[digits + 1] == ' ') {
    return digits + 2;
  }
  return 0;
}

// Text converted from HTML marks a nested list's items with an indented
// "o" (the bullet it draws for the second level); unindented, "o" may be a
// word that happens to open a wrapped line.
bool nested_bullet(std::string_view line, std::string_view trimmed) {
  return !line.empty() && (line.front() == ' ' || line.front() == '\t') && trimmed.size() > 2 && trimmed[0] == 'o' &&
         trimmed[1] == ' ';
}

// A cell without the run of underscores that text converted from HTML pads
// it with ("uuid______"); two are kept, as in "__init__".
std::string_view without_padding(std::string_view cell) {
  std::size_t end = cell.size();
  while (end > 0 && cell[end - 1] == '_') --end;
  return cell.size() - end >= 3 ? trim(cell.substr(0, end)) : cell;
}

std::vector<std::string> table_cells(std::string_view row) {
  std::string_view s = trim(row);
  if (!s.empty() && s.front() == '|') s.remove_prefix(1);
  if (!s.empty() && s.back() == '|') s.remove_suffix(1);
  std::vector<std::string> cells;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    // An escaped pipe belongs to the cell.
    if (i == s.size() || (s[i] == '|' && (i == 0 || s[i - 1] != '\\'))) {
      cells.emplace_back(without_padding(trim(s.substr(start, i - start))));
      start = i + 1;
    }
  }
  return cells;
}

bool is_table_separator(std::string_view line) {
  const std::string_view s = trim(line);
  if (s.empty() || s.find('-') == std::string_view::npos) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return c == '|' || c == '-' || c == ':' || c == ' '; });
}

bool is_table_row(std::string_view line) { return starts_with(trim(line), "|"); }

// A reStructuredText grid table's border: "+----+----+", or "+====+====+"
// under the header row.
bool is_grid_border(std::string_view line) {
  const std::string_view s = trim(line);
  return s.size() >= 3 && s.front() == '+' && s.back() == '+' &&
         s.find_first_not_of("+-=") == std::string_view::npos && s.find_first_of("-=") != std::string_view::npos;
}

// A run of one punctuation character: an RST or AsciiDoc title underline,
// or an AsciiDoc block delimiter.
bool is_rule(std::string_view line, std::size_t min_length) {
  const std::string_view s = trim(line);
  return s.size() >= min_length && std::string_view("=-~^\"'`#*+_:.").find(s[0]) != std::string_view::npos &&
         std::all_of(s.begin(), s.end(), [&](char c) { return c == s[0]; });
}

// The delimiter of an AsciiDoc block whose content is prose: an example
// ("===="), a sidebar ("****") or a quote ("____"). Listings ("----"),
// literal blocks ("....") and passthroughs hold code.
bool prose_block(std::string_view line) {
  const std::string_view s = trim(line);
  return !s.empty() && (s[0] == '=' || s[0] == '*' || s[0] == '_');
}

// lines[i] and lines[i + 2] are the same run of one character (not an
// AsciiDoc code delimiter), at least as long as the text between them: a
// title with an overline ("*****", " Sorting HOW TO", "*****").
bool overlined_title(const std::vector<std::string_view>& lines, std::size_t i) {
  if (i + 2 >= lines.size() || !is_rule(lines[i], 2) || trim(lines[i]) != trim(lines[i + 2])) return false;
  const std::string_view rule = trim(lines[i]);
  const std::string_view title = trim(lines[i + 1]);
  return rule[0] != '-' && rule[0] != '.' && !title.empty() && !is_rule(title, 1) && title.size() <= rule.size();
}

bool indented(std::string_view line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

// ".. function:: copy(src, dst)" -> "copy(src, dst)"; ".. note::" -> "Note:".
std::string directive_text(std::string_view t) {
  const std::size_t marker = t.find("::");
  const std::string_view name = trim(t.substr(2, marker - 2));
  const std::string_view rest = trim(t.substr(marker + 2));
  if (name == "note" || name == "warning") {
    std::string label(name);
    label[0] = static_cast<char>(label[0] - 32);
    return rest.empty() ? label + ":" : label + ": " + std::string(rest);
  }
  return std::string(rest);
}

// What the indented body of a reStructuredText directive holds.
enum class DirectiveBody { kProse, kCode, kStructure };

// ".. code-block:: python" -> kCode; ".. index::" -> kStructure; notes,
// version remarks and API descriptions have prose bodies.
DirectiveBody directive_body(std::string_view t) {
  const std::size_t marker = t.find("::");
  const std::string_view name = trim(t.substr(2, marker - 2));
  static const std::set<std::string, std::less<>> kCode = {
      "code",     "code-block", "sourcecode",  "doctest",     "testcode",   "testsetup",
      "testcleanup", "testoutput", "productionlist", "literalinclude", "parsed-literal", "highlight"};
  static const std::set<std::string, std::less<>> kStructure = {
      "index",         "toctree",       "tabularcolumns", "module",     "currentmodule", "moduleauthor",
      "sectionauthor", "include",       "raw",            "image",
      "csv-table",     "autosummary",   "program",        "highlightlang", "default-role", "role"};
  if (kCode.count(name)) return DirectiveBody::kCode;
  if (kStructure.count(name)) return DirectiveBody::kStructure;
  return DirectiveBody::kProse;
}

bool is_directive(std::string_view t) { return starts_with(t, ".. ") && t.find("::") != std::string_view::npos; }

std::size_t word_count(std::string_view text) { return vorn_core::tokenize_words(text).size(); }

// Column names: at least two cells, each a few words without digits.
bool looks_like_header(const std::vector<std::string>& cells) {
  std::size_t named = 0;
  for (const std::string& c : cells) {
    if (c.empty()) continue;
    if (c.size() > 30 || word_count(c) > 3) return false;
    if (std::any_of(c.begin(), c.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) return false;
    ++named;
  }
  return named >= 2;
}

// The term of an AsciiDoc labeled list line ("--soft::" -> "--soft"; ":::"
// and "::::" mark nested lists), or empty.
std::string_view labeled_term(std::string_view t) {
  if (t.size() < 3 || !ends_with(t, "::") || starts_with(t, "..")) return {};
  const std::size_t end = t.find_last_not_of(':');
  if (end == std::string_view::npos || is_space(t[end])) return {};
  return t.substr(0, end + 1);
}

// Whether lines[i] is followed by a line with text (not a blank line).
bool continues(const std::vector<std::string_view>& lines, std::size_t i) {
  return i + 1 < lines.size() && !trim(lines[i + 1]).empty();
}

// A reStructuredText simple table's border: runs of '=' for the columns,
// apart by spaces, two columns at least. `starts` gets where each column
// begins in the line.
bool simple_table_border(std::string_view line, std::vector<std::size_t>& starts) {
  starts.clear();
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '=') {
      if (i == 0 || line[i - 1] != '=') starts.push_back(i);
    } else if (!is_space(c)) {
      return false;
    }
  }
  return starts.size() >= 2;
}

// A row of a simple table cut at the column starts; the last column runs
// to the end of the line.
std::vector<std::string> simple_table_cells(std::string_view line, const std::vector<std::size_t>& starts) {
  std::vector<std::string> cells;
  for (std::size_t c = 0; c < starts.size(); ++c) {
    if (starts[c] >= line.size()) {
      cells.emplace_back();
      continue;
    }
    const std::size_t end = c + 1 < starts.size() ? std::min(starts[c + 1], line.size()) : line.size();
    cells.emplace_back(trim(line.substr(starts[c], end - starts[c])));
  }
  return cells;
}

class UnitBuilder {
 public:
  explicit UnitBuilder(std::string_view heading) : heading_(heading) {}

  std::vector<TextUnit> build(std::string_view text, bool opens_in_code) {
    std::vector<std::string_view> lines;
    for (std::size_t pos = 0; pos <= text.size();) {
      std::size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      lines.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    }
    std::size_t first = 0;
    if (opens_in_code) {
      // The rest of a listing begun in an earlier chunk, up to its closing fence.
      std::vector<std::string_view> code;
      while (first < lines.size() && !is_fence(lines[first])) code.push_back(lines[first++]);
      code_unit(code);
      ++first;
    }
    for (std::size_t i = first; i < lines.size(); ++i) {
      const std::string_view line = lines[i];
      const std::string_view t = trim(line);
      std::string title;
      const bool underlined = !t.empty() && !is_rule(line, 2) && i + 1 < lines.size() && is_rule(lines[i + 1], 2) &&
                              trim(lines[i + 1]).size() + 2 >= t.size() && paragraph_.empty();
      if (literal_ && (t.empty() || indented(line))) {
        // The indented block after "::": code, not prose.
        // A code directive's options (":linenos:") precede its code.
        if (!t.empty() && !(literal_lines_.empty() && vorn_core::is_markup_line(line))) literal_lines_.push_back(line);
        continue;
      }
      if (literal_) end_literal();
      if (skipping_ && (t.empty() || indented(line))) continue;  // an index entry, a table of contents
      skipping_ = false;
      if (!t.empty() && !is_table_row(line)) in_table_ = false;
      if (is_directive(t) && directive_body(t) != DirectiveBody::kProse) {
        // A code directive's body is a listing, like the block after "::";
        // the body of a structural one is no text at all.
        flush();
        (directive_body(t) == DirectiveBody::kCode ? literal_ : skipping_) = true;
      } else if (is_grid_border(line)) {
        flush();
        i = grid_table(lines, i + 1);
      } else if (is_table_row(line) && ends_at_grid_border(lines, i)) {
        flush();  // the rest of a grid table begun in an earlier chunk
        i = grid_table(lines, i);
      } else if (std::vector<std::size_t> columns; simple_table_border(line, columns)) {
        // A border followed by a row opens a table; one followed by a blank
        // line closes a table whose start lies in an earlier chunk.
        flush();
        if (i + 1 < lines.size() && !trim(lines[i + 1]).empty()) i = simple_table(lines, i, columns);
      } else if (starts_with(t, ">>>") && paragraph_.empty()) {
        // An interactive session pasted as a paragraph: code up to the blank line.
        flush();
        std::vector<std::string_view> session;
        std::size_t j = i;
        while (j < lines.size() && !trim(lines[j]).empty()) session.push_back(lines[j++]);
        code_unit(session);
        i = j - 1;
      } else if (underlined) {
        flush();
        heading_ = vorn_core::strip_inline_markup(t);
        ++i;  // the underline
      } else if (overlined_title(lines, i)) {
        // A reStructuredText title between an overline and an underline.
        flush();
        heading_ = vorn_core::strip_inline_markup(trim(lines[i + 1]));
        i += 2;
      } else if (is_rule(line, 4) && closing_rule(lines, i) > i && !prose_block(line)) {
        // An AsciiDoc listing or literal block, up to its closing delimiter.
        flush();
        const std::size_t close = closing_rule(lines, i);
        code_unit(std::vector<std::string_view>(lines.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                                lines.begin() + static_cast<std::ptrdiff_t>(close)));
        i = close;
      } else if (vorn_core::is_markup_line(line) || t == "+") {
        flush();  // "+" joins an AsciiDoc block to a list item: a break, not text
      } else if (starts_with(t, ".. ") && t.find("::") != std::string_view::npos) {
        flush();
        paragraph_ = directive_text(t);
      } else if (is_fence(line)) {
        flush();
        std::vector<std::string_view> code;
        std::size_t j = i + 1;
        while (j < lines.size() && !is_fence(lines[j])) code.push_back(lines[j++]);
        code_unit(code);
        i = j;  // the closing fence (or the end)
      } else if (t.empty()) {
        flush();
      } else if (heading_title(line, title)) {
        flush();
        heading_ = title;
      } else if (is_table_row(line)) {
        flush();
        const bool first_row = !in_table_;
        in_table_ = true;
        if (i + 1 < lines.size() && is_table_separator(lines[i + 1])) {
          header_ = table_cells(line);
          ++i;
        } else if (!is_table_separator(line)) {
          std::vector<std::string> cells = table_cells(line);
          // A table without a separator row (text converted from HTML) may
          // still open with its column names; alone they answer nothing.
          if (first_row && looks_like_header(cells)) {
            header_ = std::move(cells);
          } else {
            if (first_row) header_.clear();  // not the previous table's columns
            table_unit(cells);
          }
        }
      } else if (const std::size_t marker = list_marker(t); marker > 0) {
        flush();
        paragraph_ = std::string(t.substr(marker));
      } else if (nested_bullet(line, t)) {
        flush();
        paragraph_ = std::string(t.substr(2));
      } else if (paragraph_.empty() && !labeled_term(t).empty() && continues(lines, i)) {
        // An AsciiDoc labeled list item ("--soft::" right over its
        // description, "-q::" and "--quiet::" naming one item): the
        // description is prose about the terms, not a literal block, which
        // a "::" line opens in reStructuredText only before a blank line.
        std::string terms(labeled_term(t));
        while (!labeled_term(trim(lines[i + 1])).empty() && continues(lines, i + 1)) {
          terms += ", " + std::string(labeled_term(trim(lines[++i])));
        }
        paragraph_ = terms + ":";
      } else {
        if (!paragraph_.empty()) paragraph_ += ' ';
        paragraph_ += t;
        if (t.size() >= 2 && t.substr(t.size() - 2) == "::") {
          // "Like this::" introduces a literal block and the sentence keeps
          // one colon; "Like this. ::" keeps none.
          paragraph_.pop_back();
          if (paragraph_.size() >= 2 && paragraph_[paragraph_.size() - 2] == ' ') {
            paragraph_.pop_back();
            while (!paragraph_.empty() && paragraph_.back() == ' ') paragraph_.pop_back();
          }
          flush();
          literal_ = true;
        }
      }
    }
    if (literal_) end_literal();
    flush();
    return std::move(units_);
  }

 private:
  void add(std::string text, bool code = false) {
    if (text.empty()) return;
    const bool selectable = word_count(text) >= kMinUnitWords;
    units_.push_back({std::move(text), heading_, selectable, code});
  }

  void flush() {
    if (paragraph_.empty()) return;
    for (std::string& s : split_sentences(vorn_core::strip_inline_markup(paragraph_))) add(std::move(s));
    paragraph_.clear();
  }

  void end_literal() {
    code_unit(literal_lines_);
    literal_lines_.clear();
    literal_ = false;
  }

  // The line that closes the delimited block opened at `open`, or `open`.
  static std::size_t closing_rule(const std::vector<std::string_view>& lines, std::size_t open) {
    for (std::size_t j = open + 1; j < lines.size(); ++j) {
      if (trim(lines[j]) == trim(lines[open])) return j;
    }
    return open;
  }

  void code_unit(const std::vector<std::string_view>& code) {
    std::vector<std::string_view> lines;
    std::size_t chars = 0;
    for (std::string_view l : code) {
      if (trim(l).empty()) continue;
      lines.push_back(trim(l));
      chars += trim(l).size();
    }
    // A long listing is no sentence; the prose around it says what it does.
    if (lines.empty() || lines.size() > kMaxCodeLines || chars > kMaxCodeChars) return;
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i) text += ", then ";
      text += "`" + std::string(lines[i]) + "`";
    }
    add(std::move(text), /*code=*/true);
  }

  // The rows of the simple table whose opening border is lines[open], one
  // unit each, named after its header row when a second border sets one
  // off. A row whose first cell is empty continues the row before. Returns
  // the closing border's line (or the last line).
  std::size_t simple_table(const std::vector<std::string_view>& lines, std::size_t open,
                           const std::vector<std::size_t>& columns) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::size_t> border;
    header_.clear();
    std::size_t j = open + 1;
    for (; j < lines.size(); ++j) {
      if (simple_table_border(lines[j], border)) {
        const bool more = j + 1 < lines.size() && !trim(lines[j + 1]).empty();
        if (!more || !header_.empty() || rows.empty()) break;
        header_ = rows.front();
        for (std::size_t r = 1; r < rows.size(); ++r) {
          for (std::size_t c = 0; c < header_.size() && c < rows[r].size(); ++c) {
            if (!rows[r][c].empty()) header_[c] += (header_[c].empty() ? "" : " ") + rows[r][c];
          }
        }
        rows.clear();
        continue;
      }
      if (trim(lines[j]).empty()) continue;
      std::vector<std::string> cells = simple_table_cells(lines[j], columns);
      if (!rows.empty() && cells.front().empty()) {
        for (std::size_t c = 1; c < cells.size(); ++c) {
          if (!cells[c].empty()) rows.back()[c] += (rows.back()[c].empty() ? "" : " ") + cells[c];
        }
      } else {
        rows.push_back(std::move(cells));
      }
    }
    for (const std::vector<std::string>& row : rows) table_unit(row);
    header_.clear();
    return std::min(j, lines.size() - 1);
  }

  // Whether the table rows from lines[i] on run into a grid table border.
  static bool ends_at_grid_border(const std::vector<std::string_view>& lines, std::size_t i) {
    while (i < lines.size() && is_table_row(lines[i])) ++i;
    return i < lines.size() && is_grid_border(lines[i]);
  }

  // The rows of a grid table from lines[first] (the line after a border,
  // or the chunk's first line inside one): a row's lines, up to the next
  // border, are one row, each cell's text joined across them; the row
  // above a "+===+" border names the columns. Returns the table's last line.
  std::size_t grid_table(const std::vector<std::string_view>& lines, std::size_t first) {
    header_.clear();
    std::vector<std::string> row;
    std::size_t j = first;
    for (; j < lines.size(); ++j) {
      const std::string_view t = trim(lines[j]);
      if (is_grid_border(t)) {
        if (t.find('=') != std::string_view::npos && header_.empty()) {
          header_ = std::move(row);
        } else if (!row.empty()) {
          table_unit(row);
        }
        row.clear();
        continue;
      }
      if (!is_table_row(t)) break;
      std::vector<std::string> cells = table_cells(t);
      if (row.size() < cells.size()) row.resize(cells.size());
      for (std::size_t c = 0; c < cells.size(); ++c) {
        if (!cells[c].empty()) row[c] += (row[c].empty() ? "" : " ") + cells[c];
      }
    }
    if (!row.empty()) table_unit(row);  // the chunk ends inside the table
    header_.clear();
    return j - 1;
  }

  void table_unit(const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      if (cells[c].empty()) continue;
      if (!text.empty()) text += "; ";
      if (header_.size() == cells.size() && !header_[c].empty()) text += vorn_core::strip_inline_markup(header_[c]) + ": ";
      text += vorn_core::strip_inline_markup(cells[c]);
    }
    add(std::move(text));
  }

  std::string heading_;
  std::vector<std::string> header_;
  bool in_table_ = false;  // the last non-blank line was a table row
  std::string paragraph_;
  bool literal_ = false;
  bool skipping_ = false;  // inside the body of a structural directive
  std::vector<std::string_view> literal_lines_;
  std::vector<TextUnit> units_;
};

bool is_abbreviation(std::string_view word) {
  static const std::set<std::string, std::less<>> kAbbreviations = {
      "e.g", "i.e", "etc", "vs", "cf", "fig", "no", "dr", "mr", "mrs", "ms", "st", "approx", "incl", "resp"};
  std::string lower;
  for (char c : word) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  if (lower.size() == 1 && lower[0] >= 'a' && lower[0] <= 'z') return true;  // an initial
  return kAbbreviations.count(lower) > 0;
}

bool opens_sentence(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '"' || c == '\'' || c == '`' || c == '(' ||
         c == '*' || c == '[' || static_cast<unsigned char>(c) >= 0x80;
}

// "to be read or written: ...", ", and then ...": text that continues a
// sentence begun before it. A lower-case identifier ("pg_dump is ...",
// "os.path.join() ...") starts sentences in technical prose; a plain
// lower-case word rarely does.
bool opens_mid_sentence(std::string_view text) {
  text = trim(text);
  if (text.empty()) return false;
  const char first = text.front();
  if (first == ',' || first == ';' || first == ')' || first == ']' || first == '.') return true;
  if (first >= '0' && first <= '9') {
    // "1024). salt should be ...": the end of a parenthesis opened before.
    std::size_t i = 0;
    while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.')) ++i;
    return i < text.size() && text[i] == ')';
  }
  if (first < 'a' || first > 'z') return false;
  for (char c : text) {
    // The first word is all lower-case letters and the sentence goes on
    // ("database, so make sure ..."): the rest of one begun before.
    if (c == ' ' || c == ':' || c == ',' || c == ';' || c == ')') return true;
    if (c < 'a' || c > 'z') return false;
  }
  return true;
}

// --- scoring -------------------------------------------------------------------------

struct Candidate {
  std::size_t passage;
  std::size_t position;
  const TextUnit* unit;
  std::vector<std::string> terms;      // in order, with repeats
  std::unordered_set<std::string> own;
  std::unordered_set<std::string> heading;
  double score = 0.0;
  double coverage = 0.0;  // share of the question's rarity the sentence (and its heading) holds
};

std::string normalised(std::string_view text) {
  std::string out;
  for (const std::string& w : vorn_core::tokenize_words(text)) out += w + ' ';
  return out;
}

double jaccard(const std::unordered_set<std::string>& a, const std::unordered_set<std::string>& b) {
  if (a.empty() && b.empty()) return 1.0;
  std::size_t common = 0;
  for (const auto& t : a) common += b.count(t);
  return static_cast<double>(common) / static_cast<double>(a.size() + b.size() - common);
}

std::string with_full_stop(std::string text) {
  const char last = text.empty() ? '.' : text.back();
  const bool alnum = (last >= 'a' && last <= 'z') || (last >= 'A' && last <= 'Z') || (last >= '0' && last <= '9');
  if (alnum) text += '.';
  return text;
}

}  // namespace

void check_extractive_options(const ExtractiveOptions& options) {
  if (options.max_sentences == 0) {
    throw vorn_core::InvalidValueError("Invalid `max_sentences` 0. Set it to 1 or more and retry.");
  }
  if (!std::isfinite(options.passage_decay) || options.passage_decay < 0.0) {
    throw vorn_core::InvalidValueError("Invalid `passage_decay`. Set it to 0 or more and retry.");
  }
  if (!std::isfinite(options.see_also_min_coverage) || options.see_also_min_coverage < 0.0) {
    throw vorn_core::InvalidValueError("Invalid `see_also_min_coverage`. Set it to 0 or more and retry.");
  }
}

std::vector<std::string> split_sentences(std::string_view paragraph) {
  std::vector<std::string> out;
  std::size_t start = 0;
  const auto emit = [&](std::size_t end) {
    const std::string_view s = trim(paragraph.substr(start, end - start));
    if (!s.empty()) out.emplace_back(s);
  };
  for (std::size_t i = 0; i < paragraph.size(); ++i) {
    const char c = paragraph[i];
    if (c != '.' && c != '!' && c != '?') continue;
    std::size_t end = i + 1;
    // Closing quotes and brackets stay with their sentence.
    while (end < paragraph.size() && (paragraph[end] == '"' || paragraph[end] == '\'' || paragraph[end] == ')' ||
                                      paragraph[end] == ']' || paragraph[end] == '*')) {
      ++end;
    }
    if (end >= paragraph.size() || !is_space(paragraph[end])) continue;
    std::size_t next = end;
    while (next < paragraph.size() && is_space(paragraph[next])) ++next;
    if (next >= paragraph.size() || !opens_sentence(paragraph[next])) continue;
    if (c == '.') {
      std::size_t w = i;
      while (w > start && !is_space(paragraph[w - 1]) && paragraph[w - 1] != '(') --w;
      if (is_abbreviation(paragraph.substr(w, i - w))) continue;
    }
    emit(end);
    start = next;
    i = next - 1;
  }
  emit(paragraph.size());
  return out;
}

std::vector<TextUnit> split_units(std::string_view text, std::string_view heading, bool opens_in_code) {
  return UnitBuilder(heading).build(text, opens_in_code);
}

std::vector<Passage> parse_context_blocks(std::string_view context) {
  std::vector<Passage> out;
  const auto block_id_at = [&](std::size_t pos, std::string& id, std::size_t& body) {
    if (pos >= context.size() || context[pos] != '[') return false;
    std::size_t i = pos + 1;
    while (i < context.size() && context[i] != ']' && context[i] != '[' && !is_space(context[i])) ++i;
    if (i == pos + 1 || i + 1 >= context.size() || context[i] != ']' || context[i + 1] != ' ') return false;
    id = std::string(context.substr(pos + 1, i - pos - 1));
    body = i + 2;
    return true;
  };
  std::size_t text_start = 0;
  std::string id;
  bool have_block = false;
  const auto close = [&](std::size_t end) {
    const std::string_view text = trim(context.substr(text_start, end - text_start));
    if (have_block || !text.empty()) out.push_back({id, std::string(text), {}, {}});
  };
  for (std::size_t pos = 0; pos < context.size();) {
    std::string next_id;
    std::size_t body = 0;
    if ((pos == 0 || (pos >= 2 && context[pos - 1] == '\n' && context[pos - 2] == '\n')) &&
        block_id_at(pos, next_id, body)) {
      if (pos > 0 || have_block) close(pos);
      id = std::move(next_id);
      have_block = true;
      text_start = body;
      pos = body;
      continue;
    }
    ++pos;
  }
  if (!context.empty()) close(context.size());
  return out;
}

ExtractiveAnswer extract_answer(std::string_view question, const std::vector<Passage>& passages,
                                const ExtractiveOptions& options) {
  ExtractiveAnswer answer;
  if (passages.empty()) {
    answer.text = kNoPassagesAnswer;
    return answer;
  }
  std::vector<std::string> query = vorn_core::content_terms(question);
  std::vector<std::string> query_order = query;  // for word pairs
  std::sort(query.begin(), query.end());
  query.erase(std::unique(query.begin(), query.end()), query.end());

  // Units stay alive in `units` while candidates point at them.
  std::vector<std::vector<TextUnit>> units(passages.size());
  std::vector<Candidate> candidates;
  for (std::size_t p = 0; p < passages.size(); ++p) {
    units[p] = split_units(passages[p].text, passages[p].heading, passages[p].opens_in_code);
  }
  for (std::size_t p = 0; p < passages.size(); ++p) {
    for (std::size_t u = 0; u < units[p].size(); ++u) {
      const TextUnit& unit = units[p][u];
      if (!unit.selectable) continue;
      // Chunks overlap, so a passage often opens in the middle of a sentence
      // whose whole form is in the chunk before; the tail alone is no answer.
      // So is the rest of a sentence that a listing interrupted ("... like
      // this: <code> and it prints ...").
      const bool after_break = u == 0 || units[p][u - 1].code || ends_with(units[p][u - 1].text, ":");
      if (after_break && opens_mid_sentence(unit.text)) continue;
      Candidate c{p, u, &unit, vorn_core::content_terms(unit.text), {}, {}};
      c.own.insert(c.terms.begin(), c.terms.end());
      for (std::string& t : vorn_core::content_terms(unit.heading)) c.heading.insert(std::move(t));
      candidates.push_back(std::move(c));
    }
  }

  // Each passage's page rank: the order in which pages first appear.
  std::vector<std::size_t> page_rank(passages.size());
  {
    std::unordered_map<std::string, std::size_t> rank_of;
    for (std::size_t p = 0; p < passages.size(); ++p) {
      const Passage& passage = passages[p];
      std::string page = !passage.page.empty() ? passage.page : passage.id.substr(0, passage.id.find('#'));
      if (page.empty()) page = "#" + std::to_string(p);  // no id: a page of its own
      page_rank[p] = rank_of.try_emplace(std::move(page), rank_of.size()).first->second;
    }
  }

  // Rarity among the candidate sentences: ln(1 + N / df).
  const double n = static_cast<double>(candidates.size());
  std::unordered_map<std::string, double> idf;
  for (const std::string& t : query) {
    double df = 0;
    for (const Candidate& c : candidates) df += (c.own.count(t) || c.heading.count(t)) ? 1.0 : 0.0;
    idf[t] = df > 0 ? std::log(1.0 + n / df) : std::log(1.0 + std::max(n, 1.0));
  }
  double total = 0.0;
  for (const std::string& t : query) total += idf[t];

  double best = 0.0;
  double best_coverage = 0.0;
  for (Candidate& c : candidates) {
    double matched = 0.0;
    bool own_match = false;
    for (const std::string& t : query) {
      if (c.own.count(t)) {
        matched += idf[t];
        own_match = true;
      } else if (c.heading.count(t)) {
        matched += 0.5 * idf[t];
      }
    }
    if (!own_match || total <= 0.0) continue;  // a heading alone does not make a sentence an answer
    std::size_t pairs = 0;
    for (std::size_t i = 0; i + 1 < query_order.size(); ++i) {
      for (std::size_t k = 0; k + 1 < c.terms.size(); ++k) {
        if (c.terms[k] == query_order[i] && c.terms[k + 1] == query_order[i + 1]) {
          ++pairs;
          break;
        }
      }
    }
    const double words = static_cast<double>(c.terms.size());
    const double length_factor = 1.0 / (1.0 + 0.02 * std::max(0.0, words - 30.0));
    const double position_factor =
        (1.0 / (1.0 + options.passage_decay * static_cast<double>(page_rank[c.passage]))) * (1.0 + 0.1 / (1.0 + static_cast<double>(c.position)));
    c.score = (matched / total) * (1.0 + 0.1 * static_cast<double>(std::min<std::size_t>(pairs, 3))) * length_factor *
              position_factor;
    c.coverage = matched / total;
    best = std::max(best, c.score);
    best_coverage = std::max(best_coverage, c.coverage);
  }
  // A sentence that shares only a common word with the question is a random
  // paragraph, not an answer; saying so is more useful.
  if (best <= 0.0 || best_coverage < options.min_question_coverage) {
    answer.text = nothing_found_answer(question);
    return answer;
  }

  std::vector<std::size_t> order(candidates.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return candidates[a].score > candidates[b].score; });

  // The page of the best sentence answers; its good sentences lead, in the
  // order the page gives them, so the answer reads as the page does.
  const std::size_t lead_page = page_rank[candidates[order.front()].passage];
  std::vector<const Candidate*> lead;
  std::set<std::string> texts;
  const auto is_new = [&](const Candidate& c, const std::vector<const Candidate*>& picked) {
    // Overlapping chunks repeat sentences; say each thing once.
    if (texts.count(normalised(c.unit->text))) return false;
    return std::none_of(picked.begin(), picked.end(),
                        [&](const Candidate* p) { return jaccard(p->own, c.own) >= 0.8; });
  };
  for (std::size_t i : order) {
    const Candidate& c = candidates[i];
    if (lead.size() >= options.max_sentences || c.score <= 0.0 || c.score < options.min_relative_score * best) break;
    if (page_rank[c.passage] != lead_page || !is_new(c, lead)) continue;
    texts.insert(normalised(c.unit->text));
    lead.push_back(&c);
  }
  std::sort(lead.begin(), lead.end(), [](const Candidate* a, const Candidate* b) {
    return a->passage != b->passage ? a->passage < b->passage : a->position < b->position;
  });

  // Every other page that says something about the question gets its best
  // sentence, in retrieval order: the reader sees where else to look. The
  // floor compares word coverage, not the rank-weighted score: a later
  // page is no less related for being retrieved later, only less likely to
  // be the answer.
  const double lead_coverage = candidates[order.front()].coverage;
  const double floor = std::max(options.min_question_coverage, options.see_also_min_coverage * lead_coverage);
  std::vector<const Candidate*> see_also;
  std::vector<const Candidate*> best_of_page(passages.size(), nullptr);
  for (std::size_t i : order) {
    const Candidate& c = candidates[i];
    if (c.score <= 0.0 || page_rank[c.passage] == lead_page || best_of_page[page_rank[c.passage]]) continue;
    // A pointer elsewhere should say what is there (a listing alone does
    // not) and where: a passage without an id cannot be pointed to.
    if (c.unit->code || passages[c.passage].id.empty() || c.coverage < floor || !is_new(c, lead)) continue;
    best_of_page[page_rank[c.passage]] = &c;
  }
  for (const Candidate* c : best_of_page) {
    if (!c || see_also.size() >= options.max_see_also || !is_new(*c, see_also)) continue;
    texts.insert(normalised(c->unit->text));  // a page copied under two names is pointed to once
    see_also.push_back(c);
  }

  const auto cite = [&](const std::string& id) {
    if (id.empty()) return;
    answer.text += " [" + id + "]";
    if (std::find(answer.cited_ids.begin(), answer.cited_ids.end(), id) == answer.cited_ids.end()) {
      answer.cited_ids.push_back(id);
    }
  };
  for (std::size_t i = 0; i < lead.size(); ++i) {
    const Candidate& c = *lead[i];
    const std::string& id = passages[c.passage].id;
    answer.sentences.push_back({c.unit->text, id, c.passage, c.position, c.score});
    if (!answer.text.empty()) answer.text += ' ';
    answer.text += with_full_stop(c.unit->text);
    if (i + 1 == lead.size() || lead[i + 1]->passage != c.passage) cite(id);
  }
  if (!see_also.empty()) answer.text += "\n\nSee also:";
  for (const Candidate* c : see_also) {
    const std::string& id = passages[c->passage].id;
    answer.sentences.push_back({c->unit->text, id, c->passage, c->position, c->score, true});
    answer.text += "\n- " + with_full_stop(c->unit->text);
    cite(id);
  }
  return answer;
}

std::string nothing_found_answer(std::string_view question) {
  std::string about;
  const std::vector<std::string> words = vorn_core::tokenize_words(question);
  for (const std::string& w : words) {
    if (vorn_core::is_stop_word(w)) continue;
    if (!about.empty()) about += ' ';
    about += w;
  }
  if (about.empty()) return std::string(kNoMatchAnswer);
  return "I found nothing about " + about + " in the indexed documents.";
}

}  // namespace vorn_inference
