// HTML to text for readers that put pages inside a larger document (the
// chapters of a book).
#pragma once

#include <string_view>

#include "vorn_retrieval/document_formats.hpp"

namespace vorn_retrieval::detail {

struct HtmlOptions {
  // Added to every heading's level (at most 6): a chapter's headings sit
  // below the title of the book that holds it.
  int heading_offset = 0;
  // A <title> that is no heading of the page becomes its top heading.
  bool title_as_heading = true;
};

// html_to_text with these options.
ExtractedText html_to_text(std::string_view html, const HtmlOptions& options);

}  // namespace vorn_retrieval::detail
