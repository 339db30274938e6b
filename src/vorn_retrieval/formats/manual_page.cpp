// Manual pages as `man` writes them to a file: a header line
// ("TAIL(1)   User Commands   TAIL(1)"), section names at the left margin,
// text indented under them, subsection names half way in, a footer line
// naming the page again. The layout is all the structure there is, so it is
// read from indentation alone.
#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_retrieval/document_formats.hpp"

namespace vorn_retrieval {
namespace {

constexpr std::string_view kHyphen = "\xE2\x80\x90";  // U+2010, how groff prints a hyphen
constexpr std::size_t kHeaderSearchLines = 12;
constexpr std::size_t kHeaderSearchBytes = 4096;

struct Line {
  std::size_t indent = 0;  // columns of leading white space
  std::string text;        // without the leading white space
  bool blank() const { return text.empty(); }
};

bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

std::string_view trim_right(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Overstrike bold ("X\bX") and underline ("_\bX"), as groff writes for a
// terminal when nothing filtered them out.
std::string strip_overstrike(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\b') {
      if (!out.empty()) {
        // Back over one UTF-8 character.
        while (out.size() > 1 && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
        out.pop_back();
      }
    } else {
      out += c;
    }
  }
  return out;
}

Line make_line(std::string_view raw) {
  raw = trim_right(raw);
  Line line;
  std::size_t i = 0;
  for (; i < raw.size() && (raw[i] == ' ' || raw[i] == '\t'); ++i) line.indent = raw[i] == '\t' ? (line.indent / 8 + 1) * 8 : line.indent + 1;
  line.text = std::string(raw.substr(i));
  return line;
}

// "TAIL(1)": a name, then a section in parentheses.
bool is_page_reference(std::string_view word) {
  const std::size_t open = word.find('(');
  return open != std::string_view::npos && open > 0 && word.size() > open + 2 && word.back() == ')';
}


// Justified text has runs of spaces between words; one is enough.
std::string collapse_spaces(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out += c;
  }
  return out;
}

// Every groff hyphen as the ASCII one people type.
std::string plain_hyphens(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t pos = 0;;) {
    const std::size_t found = s.find(kHyphen, pos);
    out.append(s.substr(pos, found - pos));
    if (found == std::string_view::npos) return out;
    out += '-';
    pos = found + kHyphen.size();
  }
}

// "EXIT STATUS" -> "Exit status"; a name that is not all capitals is kept.
std::string section_title(std::string_view name) {
  std::string out(name);
  if (std::any_of(out.begin(), out.end(), is_lower)) return out;
  for (std::size_t i = 1; i < out.size(); ++i) {
    if (is_upper(out[i])) out[i] = static_cast<char>(out[i] + 32);
  }
  return out;
}

// Words groff split at the end of a line ("file‐" / "names") joined again.
void join_hyphenated(std::vector<Line>& lines) {
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    std::string& text = lines[i].text;
    Line& next = lines[i + 1];
    if (text.size() <= kHyphen.size() || text.compare(text.size() - kHyphen.size(), kHyphen.size(), kHyphen) != 0) {
      continue;
    }
    const char before = text[text.size() - kHyphen.size() - 1];
    if (!(is_lower(before) || is_upper(before)) || next.blank() || !is_lower(next.text[0])) continue;
    const std::size_t word_end = std::min(next.text.find(' '), next.text.size());
    text.resize(text.size() - kHyphen.size());
    text += next.text.substr(0, word_end);
    next.text.erase(0, std::min(next.text.find_first_not_of(' ', word_end), next.text.size()));
  }
}

class MarkdownWriter {
 public:
  explicit MarkdownWriter(std::size_t line_width) : line_width_(line_width) {}

  void heading(int level, std::string_view text) {
    separate();
    out_.append(static_cast<std::size_t>(level), '#');
    out_ += ' ';
    out_ += text;
    out_ += '\n';
    previous_indent_.reset();
  }

  // The NAME line heads the page and stays a sentence of it too: it is the
  // page's own one-line answer to "what is this for".
  void title(std::string_view name_line) {
    heading(1, name_line);
    separate();
    out_ += name_line;
    out_ += '\n';
  }

  // One run of lines between blank lines.
  void paragraph(const std::vector<Line>& lines, bool force_code) {
    if (lines.empty()) return;
    const bool code = force_code || looks_like_code(lines);
    separate();
    if (code) {
      std::size_t least = lines.front().indent;
      for (const Line& l : lines) least = std::min(least, l.indent);
      const bool backticks = std::any_of(lines.begin(), lines.end(),
                                         [](const Line& l) { return l.text.find("```") != std::string::npos; });
      const std::string_view fence = backticks ? "~~~~" : "```";
      out_ += fence;
      out_ += '\n';
      for (const Line& l : lines) {
        out_.append(l.indent - least, ' ');
        out_ += l.text;
        out_ += '\n';
      }
      out_ += fence;
      out_ += '\n';
    } else {
      for (const Line& l : lines) {
        out_ += collapse_spaces(l.text);
        out_ += '\n';
      }
    }
    previous_indent_ = lines.back().indent;
  }

  std::string take() { return std::move(out_); }

 private:
  void separate() {
    if (!out_.empty()) out_ += '\n';
  }

  // Examples are set apart from the text around them: deeper than the
  // paragraph before, and not filled to the margin as running text is.
  // A root prompt ("# command") must not read as a heading either way.
  bool looks_like_code(const std::vector<Line>& lines) const {
    for (const Line& l : lines) {
      if (l.text.size() >= 2 && l.text[0] == '#' && l.text[1] == ' ') return true;
      if (l.text.rfind("```", 0) == 0 || l.text.rfind("~~~", 0) == 0) return true;
    }
    if (!previous_indent_ || lines.front().indent <= *previous_indent_) return false;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      if (lines[i].indent + lines[i].text.size() >= line_width_ * 4 / 5) return false;
    }
    return true;
  }

  std::size_t line_width_;
  std::string out_;
  std::optional<std::size_t> previous_indent_;
};

std::vector<Line> split_lines(std::string_view text) {
  std::vector<Line> lines;
  for (std::size_t pos = 0; pos <= text.size();) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(make_line(text.substr(pos, end - pos)));
    pos = end + 1;
  }
  return lines;
}

// The page a header line names ("ALTER ROLE(7)" of "ALTER ROLE(7)   PostgreSQL
// Documentation   ALTER ROLE(7)"): the line starts and ends with it. ""
// when the line is not a header. A long name may have run into the title,
// leaving the name's start, the title and then the whole name
// ("SPI_CURSOR_OPEN_WITH_ARGPostgreSQL 15 DocumentaSPI_CURSOR_OPEN_WITH_ARGS(3)").
std::string_view header_page(std::string_view text) {
  const std::size_t close = text.find(')');
  if (close == std::string_view::npos) return {};
  const std::string_view first = text.substr(0, close + 1);
  if (first.size() < text.size()) {
    const bool framed = text.substr(text.size() - first.size()) == first;
    return framed && is_page_reference(first) ? first : std::string_view();
  }
  const std::size_t again = text.rfind(text.substr(0, std::min<std::size_t>(text.find('('), 8)));
  if (again == 0 || again == std::string_view::npos) return {};
  const std::string_view page = text.substr(again);
  return is_page_reference(page) ? page : std::string_view();
}

bool is_name_heading(const Line& line) {
  const std::string_view t = line.text;
  return line.indent == 0 && t.size() == 4 && (t[0] == 'N' || t[0] == 'n') && (t[1] == 'A' || t[1] == 'a') &&
         (t[2] == 'M' || t[2] == 'm') && (t[3] == 'E' || t[3] == 'e');
}

// The index of the header line ("NAME(SECTION)", a centred title,
// "NAME(SECTION)" again) when a NAME section follows it.
std::optional<std::size_t> find_header(const std::vector<Line>& lines) {
  std::size_t header = 0;
  while (header < lines.size() && lines[header].blank()) ++header;
  if (header == lines.size()) return std::nullopt;
  if (header_page(lines[header].text).empty()) return std::nullopt;
  for (std::size_t i = header + 1; i < lines.size() && i <= header + kHeaderSearchLines; ++i) {
    if (is_name_heading(lines[i])) return header;
  }
  return std::nullopt;
}

}  // namespace

std::optional<ExtractedText> manual_page_to_text(std::string_view text) {
  // Most text files are not manual pages: decide on the opening alone.
  if (!find_header(split_lines(strip_overstrike(text.substr(0, kHeaderSearchBytes))))) return std::nullopt;
  std::vector<Line> lines = split_lines(text.find('\b') == std::string_view::npos ? std::string(text)
                                                                                 : strip_overstrike(text));
  const std::optional<std::size_t> found = find_header(lines);
  if (!found) return std::nullopt;
  const std::size_t header = *found;
  const std::string header_text = lines[header].text;
  const std::string page(header_page(header_text));

  // The footer repeats the page name at its end; a page rendered in pages
  // repeats header and footer between them.
  std::size_t last = lines.size();
  while (last > header + 1 && lines[last - 1].blank()) --last;  // the header line is not blank
  std::string footer_text;
  if (const std::string_view end = lines[last - 1].text;
      last > header + 1 && end.size() > page.size() && end.substr(end.size() - page.size()) == page) {
    footer_text = end;
  }
  std::vector<Line> body;
  std::size_t width = 0;
  for (std::size_t i = header + 1; i < last; ++i) {
    if (lines[i].text == header_text || (!footer_text.empty() && lines[i].text == footer_text)) continue;
    width = std::max(width, lines[i].indent + lines[i].text.size());
    body.push_back(std::move(lines[i]));
  }
  join_hyphenated(body);
  for (Line& l : body) {
    if (l.text.find(kHyphen) != std::string::npos) l.text = plain_hyphens(l.text);
  }

  ExtractedText out;
  MarkdownWriter writer(width);
  std::string section;
  bool in_name = false;  // the NAME section: the page's title
  std::size_t text_indent = 0;  // where the first section's text starts
  std::vector<Line> paragraph;
  const auto flush = [&] {
    if (in_name && out.title.empty() && !paragraph.empty()) {
      // Only the first paragraph: "tool - what it does".
      for (const Line& l : paragraph) {
        if (!out.title.empty()) out.title += ' ';
        out.title += collapse_spaces(l.text);
      }
      writer.title(out.title);
    } else {
      writer.paragraph(paragraph, section == "SYNOPSIS" || section == "Synopsis");
    }
    paragraph.clear();
  };
  for (Line& l : body) {
    if (l.blank()) {
      flush();
      continue;
    }
    const bool section_line = l.indent == 0;
    const bool subsection_line = !section_line && text_indent > 0 && l.indent < text_indent;
    if (section_line || subsection_line) {
      flush();
      if (section_line) {
        section = l.text;
        in_name = is_name_heading(l);
        if (!in_name) writer.heading(2, section_title(section));
      } else {
        writer.heading(3, collapse_spaces(l.text));
      }
      continue;
    }
    if (text_indent == 0) text_indent = l.indent;
    paragraph.push_back(std::move(l));
  }
  flush();
  out.text = writer.take();
  if (out.title.empty()) out.title = std::string(page);
  return out;
}

}  // namespace vorn_retrieval
