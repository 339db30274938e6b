// Writes the text of an office document the way the chunker reads Markdown:
// headings as heading lines, paragraphs and list items separated by blank
// lines, each table row on a line of its own with its cells between " | ".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "text_builder.hpp"
#include "vorn_retrieval/document_formats.hpp"

namespace vorn_retrieval::detail {

class OfficeWriter {
 public:
  // In the texts below '\n' is a line break the author asked for; any other
  // run of whitespace collapses to one space.
  void heading(int level, std::string_view text);
  void paragraph(std::string_view text);
  // depth 0 for the outer list.
  void list_item(int depth, std::string_view text);
  // Rows of one table follow each other until end_table(); a row of empty
  // cells is left out.
  void table_row(const std::vector<std::string>& cells);
  void end_table();

  // The title is `title`, else the first level-1 heading; a document whose
  // title is no heading of its own gets one at the top, so its chunks
  // carry it.
  ExtractedText finish(std::string_view title);

 private:
  void lines(std::string_view text);

  TextBuilder out_;
  std::string first_h1_;
  bool in_table_ = false;
};

// `text` on one line, whitespace collapsed and trimmed.
std::string one_line(std::string_view text);

}  // namespace vorn_retrieval::detail
