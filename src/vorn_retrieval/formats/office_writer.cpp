#include "office_writer.hpp"

#include <algorithm>

#include "vorn_core/text.hpp"

namespace vorn_retrieval::detail {

std::string one_line(std::string_view text) {
  TextBuilder b;
  b.inline_text(text);
  return b.take();
}

void OfficeWriter::lines(std::string_view text) {
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t end = std::min(text.find('\n', from), text.size());
    out_.inline_text(text.substr(from, end - from));
    if (end == text.size()) break;
    out_.line_break();
    from = end + 1;
  }
}

void OfficeWriter::heading(int level, std::string_view text) {
  end_table();
  const std::string line = one_line(text);
  if (line.empty()) return;
  if (level <= 1 && first_h1_.empty()) first_h1_ = line;
  out_.heading(level, line);
}

void OfficeWriter::paragraph(std::string_view text) {
  end_table();
  if (one_line(text).empty()) return;
  out_.paragraph_break();
  lines(text);
  out_.paragraph_break();
}

void OfficeWriter::list_item(int depth, std::string_view text) {
  end_table();
  if (one_line(text).empty()) return;
  out_.paragraph_break();
  out_.raw_text(std::string(static_cast<std::size_t>(std::clamp(depth, 0, 8)) * 2, ' '));
  out_.inline_text("- ");
  lines(text);
  out_.paragraph_break();
}

void OfficeWriter::table_row(const std::vector<std::string>& cells) {
  std::vector<std::string> flat;
  flat.reserve(cells.size());
  bool any = false;
  for (const std::string& cell : cells) {
    flat.push_back(one_line(cell));
    any = any || !flat.back().empty();
  }
  if (!any) return;
  // Cells left empty at the end of a row are layout, not content.
  while (flat.back().empty()) flat.pop_back();
  if (!in_table_) out_.paragraph_break();
  out_.line_break();
  in_table_ = true;
  std::string row;
  for (std::size_t i = 0; i < flat.size(); ++i) {
    if (i > 0) row += " | ";
    row += flat[i];
  }
  out_.raw_text(row);
}

void OfficeWriter::end_table() {
  if (!in_table_) return;
  in_table_ = false;
  out_.paragraph_break();
}

ExtractedText OfficeWriter::finish(std::string_view title) {
  end_table();
  ExtractedText out;
  out.title = one_line(title);
  std::string body = out_.take();
  if (out.title.empty()) {
    out.title = first_h1_;
  } else if (first_h1_.empty()) {
    TextBuilder top;
    top.heading(1, out.title);
    body = body.empty() ? top.take() : top.take() + "\n\n" + body;
  }
  // Parsed XML is UTF-8 already; this only guards the text's invariants.
  out.text = vorn_core::replace_invalid_utf8(body);
  out.title = vorn_core::replace_invalid_utf8(out.title);
  return out;
}

}  // namespace vorn_retrieval::detail
