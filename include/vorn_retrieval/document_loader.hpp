#pragma once

// Reads documents from files or directory trees: plain text (.txt, .text),
// Markdown (.md, .markdown), HTML (.html, .htm, .xhtml), PDF (.pdf),
// AsciiDoc (.adoc, .asciidoc), reStructuredText (.rst, .rest), Word
// (.docx), OpenDocument text (.odt), EPUB (.epub), and source
// files with the extensions the caller names (as plain text). See
// document_formats.hpp for what is taken from each format.
//
// Directory walks are recursive, skip hidden entries (names starting with
// '.'), and return documents sorted by source id so runs are reproducible.
// A file whose content is binary is refused (LoadError VORN-LOAD-BINARY)
// whatever its name. Text is returned as UTF-8 with a leading byte-order mark
// removed and CRLF / CR line ends turned into LF, so offsets computed on it
// (e.g. by TextChunker) are stable across platforms.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorn_core/error.hpp"
#include "vorn_retrieval/document_formats.hpp"

namespace vorn_retrieval {

namespace load_errc {
inline constexpr const char* kNotFound = "VORN-LOAD-NOT-FOUND";
inline constexpr const char* kUnsupported = "VORN-LOAD-UNSUPPORTED";  // not a format the loader reads
inline constexpr const char* kBinary = "VORN-LOAD-BINARY";            // binary content, whatever the name
inline constexpr const char* kFormat = "VORN-LOAD-FORMAT";            // a damaged or encrypted PDF, office document or e-book
inline constexpr const char* kEmpty = "VORN-LOAD-EMPTY";              // no text in it (e.g. a scanned PDF)
inline constexpr const char* kTooLarge = "VORN-LOAD-TOO-LARGE";
inline constexpr const char* kEncoding = "VORN-LOAD-ENCODING";        // invalid UTF-8 with InvalidUtf8::reject
inline constexpr const char* kDuplicate = "VORN-LOAD-DUPLICATE";      // two inputs map to one source id
inline constexpr const char* kIo = "VORN-LOAD-IO";
}  // namespace load_errc

// A document that could not be found or read; code() is one of load_errc
// (never empty). A member of the vorn_core::BaseError family and a
// vorn_core::RuntimeError.
class LoadError : public vorn_core::BaseError, public vorn_core::RuntimeError {
 public:
  LoadError(std::string code, const std::string& message);
  [[nodiscard]] std::string_view code() const noexcept override { return code_; }
  [[nodiscard]] std::optional<std::string_view> default_message() const noexcept override;
  [[nodiscard]] std::string_view class_name() const noexcept override { return "LoadError"; }

 private:
  std::string code_;
};

enum class InvalidUtf8 {
  replace,  // each invalid sequence becomes U+FFFD
  reject,   // LoadError(kEncoding) naming the file, line and byte offset
};

struct LoaderOptions {
  std::size_t max_file_bytes = std::size_t{16} << 20U;
  InvalidUtf8 invalid_utf8 = InvalidUtf8::replace;
  // Extensions of source files to read as plain text as well ("cpp", ".py";
  // case and a leading dot do not matter).
  std::vector<std::string> source_extensions;
  // Shell patterns (fnmatch) choosing files. A pattern without '/' matches the
  // file name, one with '/' the path below the directory given ('*' crosses
  // '/'). With include patterns, only files matching one are read; a file
  // matching an exclude pattern never is.
  std::vector<std::string> include;
  std::vector<std::string> exclude;
};

enum class FileType { text, markdown, html, pdf, asciidoc, restructured_text, source_code, word_document,
                      open_document, epub_book };

// "text", "markdown", "html", "pdf", "asciidoc", "restructuredtext", "source",
// "docx", "odt", "epub".
std::string_view to_string(FileType format) noexcept;

struct Document {
  std::string source_id;  // path relative to the directory given ('/'-separated), or the file name
  std::filesystem::path path;
  std::string text;
  bool markdown = false;  // headings in `text` are Markdown heading lines
  FileType type = FileType::text;
  std::string title;                     // HTML <title>, PDF Title, a document's own title; empty when none
  std::vector<std::size_t> page_starts;  // PDF: offset in `text` where each page begins
  std::vector<TextLink> links;           // HTML: its hyperlinks (the text keeps only their words)
};

// What a directory walk found.
struct Discovery {
  std::vector<std::pair<std::filesystem::path, std::string>> files;  // with their source ids
  std::vector<std::filesystem::path> unsupported;  // not a format the loader reads (and not excluded)
};

class DocumentLoader {
 public:
  explicit DocumentLoader(LoaderOptions options = {});

  // A file or a directory tree. Throws LoadError.
  [[nodiscard]] std::vector<Document> load(const std::filesystem::path& path) const;
  // Several inputs, in the given order; the same file reached twice is loaded
  // once, two different files with one source id are an error.
  [[nodiscard]] std::vector<Document> load(std::span<const std::filesystem::path> paths) const;

  // The files load() would read, with their source ids, without reading them.
  [[nodiscard]] std::vector<std::pair<std::filesystem::path, std::string>> discover(
      const std::filesystem::path& path) const;
  // The same, plus the files of a walk that were passed over as unsupported.
  // Throws LoadError for a missing input, or a file given by name that is
  // not a supported format.
  [[nodiscard]] Discovery discover_all(const std::filesystem::path& path) const;

  [[nodiscard]] Document load_file(const std::filesystem::path& file, std::string source_id) const;

  // The format of a file by its name; nullopt when this loader does not read it.
  [[nodiscard]] std::optional<FileType> type_of(const std::filesystem::path& file) const;
  // Whether the include and exclude patterns let `relative` (a path below
  // the directory given, or a file name) through.
  [[nodiscard]] bool selected(std::string_view relative) const;

  // Built-in formats only (no source extensions).
  [[nodiscard]] static bool is_supported(const std::filesystem::path& file);
  [[nodiscard]] static bool is_markdown(const std::filesystem::path& file);

 private:
  LoaderOptions options_;
};

}  // namespace vorn_retrieval
