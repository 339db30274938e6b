// Text out of the binary and markup formats the loader reads: UTF-8 text
// whose headings are Markdown heading lines ("# Title", "## Section"), so the
// chunker follows their structure as it follows Markdown's. (AsciiDoc and
// reStructuredText need no conversion: the chunker reads them as written.)
//
// All functions are pure and safe to call from any number of threads at once.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_retrieval {

// A hyperlink of a converted document, for crediting the page it names
// with what is said around it (the text itself keeps only the words).
struct TextLink {
  std::string target;   // as written ("../ref/sql-createrole.html#x")
  std::string text;     // the link's own words
  std::string context;  // the text of the paragraph, list item or cell that holds it, up to 600 bytes either side of the link
};

struct ExtractedText {
  std::string text;
  std::string title;  // empty when the document names none
  // PDF only: page_starts[i] is the byte offset in `text` where page i + 1
  // begins; ascending, first 0.
  std::vector<std::size_t> page_starts;
  // HTML only: its <a href> links, in document order.
  std::vector<TextLink> links;
};

// HTML through libxml2's HTML parser (tolerant, as browsers are): the text of
// the body with headings h1..h6 as Markdown heading lines and blocks as
// paragraphs, each <pre> listing as one fenced code block (highlighted
// tokens and all), list items' text after their "- " even when it sits in
// a <p>; script, style, nav, noscript and template left out, as are
// elements whose ARIA role is navigation or search (a documentation site's
// menus and search box) and permalinks ("¶"), and its
// links listed beside the text. The title is <title>, else the first h1. Never throws for bad markup; libxml2 is
// loaded on the first call (LoadError(VORN-LOAD-UNSUPPORTED) when it is not
// installed).
ExtractedText html_to_text(std::string_view html);

// PDF through poppler: the text of every page, pages separated by a blank
// line, with where each page begins. Throws LoadError(VORN-LOAD-FORMAT) for
// bytes poppler cannot read as a PDF and for an encrypted one. poppler sits
// in a module of this library loaded on the first call (see
// VORN_RAG_MODULE_DIR in the README); LoadError(VORN-LOAD-UNSUPPORTED) when
// it cannot be found.
ExtractedText pdf_to_text(std::string_view pdf);

// Office documents and e-books are zip packages. Only the parts named below
// are read, and together they may unpack to at most max_unpacked_bytes
// (LoadError(VORN-LOAD-TOO-LARGE) beyond: a few KiB can claim gigabytes).
// A file that is no such package, or whose parts are damaged, encrypted or
// not well-formed XML, is a LoadError(VORN-LOAD-FORMAT); one that declares
// XML entities is refused the same way. libzip and libxml2 are loaded on
// the first call (LoadError(VORN-LOAD-UNSUPPORTED) when either is missing).
// The loader allows four times its max_file_bytes.
inline constexpr std::size_t kDefaultMaxUnpackedBytes = std::size_t{64} << 20U;

// A Word document (.docx): the paragraphs of word/document.xml, paragraphs
// styled as headings (Heading 1..6, Title, or an outline level) as Markdown
// heading lines, list paragraphs as "- " items indented by their level,
// each table row as a line "cell | cell"; tables of contents, deleted text
// and footnotes are left out, text boxes follow the paragraph they are
// anchored in. The title is docProps/core.xml's dc:title, else the first
// level-1 heading; a title that is no heading of the text becomes its top
// heading.
ExtractedText docx_to_text(std::string_view docx, std::size_t max_unpacked_bytes = kDefaultMaxUnpackedBytes);

// OpenDocument text (.odt): content.xml's body with text:h as heading lines
// at their outline level (paragraphs of the Title style at level 1), text:p
// as paragraphs, text:list items as "- " items indented by their depth,
// table rows as "cell | cell" lines; notes, comments, tracked deletions and
// generated indexes left out. The title is meta.xml's dc:title, else the
// first level-1 heading.
ExtractedText odt_to_text(std::string_view odt, std::size_t max_unpacked_bytes = kDefaultMaxUnpackedBytes);

// An EPUB book (.epub): the XHTML documents of the spine in reading order,
// each read as html_to_text reads a page, as one text under a "# " heading
// of the book's title (the package document's dc:title): chapter headings go
// one level down and a chapter's own <title> is no heading. Manifest
// entries that leave the package ("../", absolute paths, other sites) and
// pages the spine lists but the package lacks are passed over. The title is
// dc:title, else the first chapter's.
ExtractedText epub_to_text(std::string_view epub, std::size_t max_unpacked_bytes = kDefaultMaxUnpackedBytes);

// A manual page as `man` writes it to a file or pipe (a "TAIL(1) ... TAIL(1)"
// header line, then a NAME section; overstrike codes allowed): Markdown with
// "# name - what it does" first, "## Description"-style section headings,
// "### ..." subsections, justified text as plain lines, the synopsis and
// set-apart examples as code blocks, words hyphenated at a line end joined
// and header and footer lines dropped. The title is the NAME line.
// std::nullopt for any other text.
std::optional<ExtractedText> manual_page_to_text(std::string_view text);

// The page (1-based) holding byte `offset` of a text with these page starts;
// 0 when there are none.
std::size_t page_at(const std::vector<std::size_t>& page_starts, std::size_t offset) noexcept;

}  // namespace vorn_retrieval
