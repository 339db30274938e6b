#include "vorn_core/markup.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace vorn_core {
namespace {

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_alnum(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// "text <target>" -> "text"; "~a.b" -> "a.b".
std::string_view role_text(std::string_view inner) {
  if (!inner.empty() && inner.back() == '>') {
    if (const std::size_t lt = inner.rfind('<'); lt != std::string_view::npos && lt > 0) inner = trim(inner.substr(0, lt));
  }
  while (!inner.empty() && (inner.front() == '~' || inner.front() == '!')) inner.remove_prefix(1);
  return inner;
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kAttributes = {{
    {"{caret}", "^"}, {"{tilde}", "~"}, {"{litdd}", "--"}, {"{plus}", "+"}, {"{empty}", ""},
    {"{nbsp}", " "}, {"{startsb}", "["}, {"{endsb}", "]"}, {"{vbar}", "|"},
}};

// `text` with AsciiDoc's character attributes ("{caret}") replaced.
void append_with_attributes(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    if (text[i] == '{') {
      for (const auto& [attribute, value] : kAttributes) {
        if (starts_with(text.substr(i), attribute)) {
          out += value;
          i += attribute.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += text[i++];
  }
}

// AsciiDoc preprocessor lines: "include::x.txt[]", "ifdef::attr[]", ...
bool is_preprocessor_line(std::string_view t) {
  if (t.empty() || t.back() != ']' || t.find(' ') != std::string_view::npos) return false;
  for (std::string_view directive : {"include::", "ifdef::", "ifndef::", "ifeval::", "endif::"}) {
    if (starts_with(t, directive)) return true;
  }
  return false;
}

}  // namespace

std::string strip_inline_markup(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    // RST role ":name:`...`" (also ":py:func:`...`").
    if (c == ':' && (i == 0 || !is_alnum(s[i - 1]))) {
      std::size_t j = i + 1;
      while (j < s.size() && (is_alnum(s[j]) || s[j] == ':' || s[j] == '-' || s[j] == '_')) ++j;
      if (j > i + 1 && j < s.size() && s[j] == '`' && s[j - 1] == ':') {
        const std::size_t close = s.find('`', j + 1);
        if (close != std::string_view::npos) {
          out += role_text(s.substr(j + 1, close - j - 1));
          i = close + 1;
          if (i < s.size() && s[i] == '_') ++i;
          continue;
        }
      }
    }
    if (c == '`') {
      const bool doubled = i + 1 < s.size() && s[i + 1] == '`';
      const std::string_view mark = doubled ? "``" : "`";
      const std::size_t close = s.find(mark, i + mark.size());
      if (close != std::string_view::npos && close > i + mark.size()) {
        std::string_view inner = s.substr(i + mark.size(), close - i - mark.size());
        i = close + mark.size();
        if (!doubled) inner = role_text(inner);
        while (i < s.size() && s[i] == '_') ++i;  // `link`_ and `anonymous`__
        // AsciiDoc substitutes attributes in monospace text too (`HEAD{caret}`).
        append_with_attributes(out, inner);
        continue;
      }
    }
    if (c == '*' && i + 1 < s.size() && (i == 0 || !is_alnum(s[i - 1]))) {
      const bool strong = s[i + 1] == '*';
      const std::size_t open = i + (strong ? 2 : 1);
      if (open < s.size() && !is_space(s[open]) && s[open] != '*') {
        const std::size_t close = s.find(strong ? "**" : "*", open);
        if (close != std::string_view::npos && close > open && !is_space(s[close - 1]) &&
            s.substr(open, close - open).find('\n') == std::string_view::npos) {
          out += s.substr(open, close - open);
          i = close + (strong ? 2 : 1);
          continue;
        }
      }
    }
    // Markdown link or image: [text](target) -> text.
    if (c == '[' || (c == '!' && i + 1 < s.size() && s[i + 1] == '[')) {
      const std::size_t open = s.find('[', i);
      const std::size_t close = s.find(']', open);
      if (close != std::string_view::npos && close + 1 < s.size() && s[close + 1] == '(') {
        const std::size_t end = s.find(')', close);
        if (end != std::string_view::npos) {
          out += s.substr(open + 1, close - open - 1);
          i = end + 1;
          continue;
        }
      }
    }
    // AsciiDoc "linkgit:git-am[1]" -> "git-am(1)".
    if (c == 'l' && starts_with(s.substr(i), "linkgit:") && (i == 0 || !is_alnum(s[i - 1]))) {
      const std::size_t open = s.find('[', i);
      const std::size_t close = open == std::string_view::npos ? open : s.find(']', open);
      if (close != std::string_view::npos && s.substr(i, open - i).find(' ') == std::string_view::npos) {
        out += s.substr(i + 8, open - i - 8);
        out += '(';
        out += s.substr(open + 1, close - open - 1);
        out += ')';
        i = close + 1;
        continue;
      }
    }
    // AsciiDoc cross references: "<<id,text>>" -> "text", "<<id>>" -> "id",
    // "xref:target[text]" -> "text".
    if (c == '<' && starts_with(s.substr(i), "<<")) {
      const std::size_t close = s.find(">>", i + 2);
      const std::string_view inner = close == std::string_view::npos ? std::string_view() : s.substr(i + 2, close - i - 2);
      const std::size_t comma = inner.find(',');
      const std::string_view id = inner.substr(0, comma);
      if (!id.empty() && id.find_first_of(" \t\n<>") == std::string_view::npos &&
          inner.find('\n') == std::string_view::npos) {
        out += comma == std::string_view::npos ? id : trim(inner.substr(comma + 1));
        i = close + 2;
        continue;
      }
    }
    if (c == 'x' && starts_with(s.substr(i), "xref:") && (i == 0 || !is_alnum(s[i - 1]))) {
      const std::size_t open = s.find('[', i);
      const std::size_t close = open == std::string_view::npos ? open : s.find(']', open);
      if (close != std::string_view::npos && s.substr(i, open - i).find_first_of(" \t\n") == std::string_view::npos) {
        const std::string_view text = s.substr(open + 1, close - open - 1);
        out += text.empty() ? s.substr(i + 5, open - i - 5) : text;
        i = close + 1;
        continue;
      }
    }
    if (c == '{') {
      bool replaced = false;
      for (const auto& [attribute, value] : kAttributes) {
        if (starts_with(s.substr(i), attribute)) {
          out += value;
          i += attribute.size();
          replaced = true;
          break;
        }
      }
      if (replaced) continue;
    }
    if (c == ' ' && starts_with(s.substr(i), " --- ")) {
      out += " \xE2\x80\x94 ";
      i += 5;
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

bool is_markup_line(std::string_view line) {
  const std::string_view t = trim(line);
  if (t.empty()) return false;
  if (is_preprocessor_line(t)) return true;
  // Adornments and delimiters: one punctuation character repeated.
  if (t.size() >= 2 && std::all_of(t.begin(), t.end(), [&](char ch) { return ch == t[0]; }) &&
      std::string_view("=-~^\"'`#*+_:.<>/|").find(t[0]) != std::string_view::npos) {
    return true;
  }
  if (starts_with(t, "..")) {
    // Directives that describe an API keep their signature; the rest is structure.
    for (std::string_view kept : {".. function::", ".. method::", ".. class::", ".. attribute::", ".. data::",
                                  ".. exception::", ".. decorator::", ".. note::", ".. warning::"}) {
      if (starts_with(t, kept)) return false;
    }
    return true;
  }
  if (t.front() == ':' && t.size() > 2) {
    const std::size_t close = t.find(':', 1);
    if (close != std::string_view::npos && close > 1 &&
        std::all_of(t.begin() + 1, t.begin() + static_cast<std::ptrdiff_t>(close),
                    [](char ch) { return is_alnum(ch) || ch == '-' || ch == '_' || ch == ' '; })) {
      return close + 1 == t.size() || t[close + 1] == ' ';
    }
  }
  if (t.front() == '[' && t.back() == ']' && t.find(' ') == std::string_view::npos) return true;
  return false;
}

}  // namespace vorn_core
