// Builds extracted text: runs of whitespace in running text collapse to one
// space, paragraphs are separated by one blank line, headings become
// Markdown heading lines.
#pragma once

#include <string>
#include <string_view>

namespace vorn_retrieval {

class TextBuilder {
 public:
  // Running text; whitespace (including line ends) collapses.
  void inline_text(std::string_view text);
  // Text kept as it is (preformatted).
  void raw_text(std::string_view text);
  void line_break();
  void paragraph_break();
  // "#" * level, a space, the text on one line; a paragraph of its own.
  void heading(int level, std::string_view text);
  // "- " before the next running text, even if a paragraph break comes
  // first (a list item whose text sits in a <p>); dropped if code or a
  // heading comes first.
  void list_item();

  std::string take();

 private:
  std::string out_;
  bool pending_space_ = false;
  bool pending_marker_ = false;
};

}  // namespace vorn_retrieval
