#include <algorithm>

#include "document_layout.hpp"
#include "vorn_core/markup.hpp"
#include "vorn_retrieval/text_chunker.hpp"

namespace vorn_retrieval {
namespace {

constexpr std::size_t kMaxSummaryBytes = 300;
constexpr std::size_t kSniffBytes = 64 * 1024;

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; });
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && layout::is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && layout::is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool looks_like_light_markup(std::string_view text) {
  text = text.substr(0, kSniffBytes);
  std::string_view previous;
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    if (line.substr(0, 3) == ".. " || line.substr(0, 3) == "== ") return true;
    const std::string_view t = trim(line);
    const std::string_view title = trim(previous);
    if (t.size() >= 3 && !title.empty() && t.size() + 2 >= title.size() && t.size() <= title.size() + 2 &&
        std::string_view("=-~^").find(t[0]) != std::string_view::npos &&
        std::all_of(t.begin(), t.end(), [&](char c) { return c == t[0]; })) {
      return true;
    }
    previous = line;
    pos = end + 1;
  }
  return false;
}

// The first sentences of a paragraph, at most kMaxSummaryBytes.
std::string first_sentences(std::string paragraph) {
  if (paragraph.size() <= kMaxSummaryBytes) return paragraph;
  std::size_t cut = std::string::npos;
  for (std::size_t i = 1; i + 1 < paragraph.size() && i < kMaxSummaryBytes; ++i) {
    if ((paragraph[i] == '.' || paragraph[i] == '?' || paragraph[i] == '!') && paragraph[i + 1] == ' ') cut = i + 1;
  }
  if (cut == std::string::npos) {
    cut = paragraph.rfind(' ', kMaxSummaryBytes);
    if (cut == std::string::npos) cut = kMaxSummaryBytes;
  }
  paragraph.resize(cut);
  return paragraph;
}

}  // namespace

DocumentFormat detect_format(std::string_view file_name, std::string_view text) {
  const std::string name = lower(file_name);
  if (ends_with(name, ".md") || ends_with(name, ".markdown")) return DocumentFormat::kMarkdown;
  for (std::string_view ext : {".rst", ".rst.txt", ".rest", ".adoc", ".asciidoc", ".asc"}) {
    if (ends_with(name, ext)) return DocumentFormat::kLightMarkup;
  }
  return looks_like_light_markup(text) ? DocumentFormat::kLightMarkup : DocumentFormat::kPlain;
}

DocumentSummary summarize_document(std::string_view text, DocumentFormat format) {
  DocumentSummary out;
  if (format == DocumentFormat::kPlain) return out;
  const layout::Layout parsed =
      format == DocumentFormat::kMarkdown ? layout::parse_markdown(text) : layout::parse_light_markup(text);
  std::size_t from = 0;
  for (const layout::Section& s : parsed.sections) {
    if (s.heading.empty()) continue;
    out.title = s.heading.substr(0, s.heading.find(" > "));
    from = s.body;
    break;
  }
  // A manual page says what it is for in its NAME section ("tool - does
  // this"), whatever comes before it.
  for (std::size_t i = 0; i < parsed.sections.size() && i < 3; ++i) {
    const std::string& heading = parsed.sections[i].heading;
    const std::size_t last = heading.rfind(" > ");
    if (lower(last == std::string::npos ? heading : heading.substr(last + 3)) == "name") {
      from = parsed.sections[i].body;
      break;
    }
  }
  if (const std::size_t synopsis = text.substr(0, kSniffBytes).find(":synopsis:"); synopsis != std::string_view::npos) {
    const std::size_t end = text.find('\n', synopsis);
    out.summary = vorn_core::strip_inline_markup(trim(text.substr(synopsis + 10, end - synopsis - 10)));
    if (!out.summary.empty()) return out;
  }
  const auto kept = [&](std::size_t pos) {
    return std::any_of(parsed.keep_whole.begin(), parsed.keep_whole.end(),
                       [&](const layout::Range& r) { return r.begin <= pos && pos < r.end; });
  };
  std::string paragraph;
  for (std::size_t pos = from; pos < text.size() && pos < from + kSniffBytes;) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    const bool indented = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    const bool heading_line = (format == DocumentFormat::kMarkdown && line.substr(0, 1) == "#");
    if (trim(line).empty() || indented || heading_line || vorn_core::is_markup_line(line) || kept(pos)) {
      if (!paragraph.empty()) break;
    } else {
      if (!paragraph.empty()) paragraph += ' ';
      paragraph += vorn_core::strip_inline_markup(trim(line));
    }
    pos = end + 1;
  }
  out.summary = first_sentences(std::move(paragraph));
  return out;
}

}  // namespace vorn_retrieval
