#include "vorn_retrieval/document_loader.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <set>

#include "formats/content_sniff.hpp"
#include "vorn_core/error.hpp"
#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_formats.hpp"

namespace vorn_retrieval {

namespace fs = std::filesystem;
using vorn_core::find_invalid_utf8;
using vorn_core::replace_invalid_utf8;

namespace {

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

std::string lower_extension(const fs::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
  return ext;
}

bool is_hidden(const fs::path& p) {
  const std::string name = p.filename().string();
  return name.size() > 1 && name.front() == '.' && name != "..";
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
  return s;
}

std::optional<FileType> builtin_format(const std::string& ext) {
  static const std::map<std::string, FileType, std::less<>> kFormats = {
      {".txt", FileType::text},
      {".text", FileType::text},
      {".md", FileType::markdown},
      {".markdown", FileType::markdown},
      {".html", FileType::html},
      {".htm", FileType::html},
      {".xhtml", FileType::html},
      {".pdf", FileType::pdf},
      {".adoc", FileType::asciidoc},
      {".asciidoc", FileType::asciidoc},
      {".rst", FileType::restructured_text},
      {".rest", FileType::restructured_text},
      {".docx", FileType::word_document},
      {".odt", FileType::open_document},
      {".epub", FileType::epub_book},
  };
  const auto it = kFormats.find(ext);
  if (it == kFormats.end()) return std::nullopt;
  return it->second;
}

using PackageReader = ExtractedText (*)(std::string_view, std::size_t);

// The converter of a format kept in a zip package, or nullptr.
PackageReader package_reader(FileType format) {
  switch (format) {
    case FileType::word_document: return &docx_to_text;
    case FileType::open_document: return &odt_to_text;
    case FileType::epub_book: return &epub_to_text;
    default: return nullptr;
  }
}

// Text compresses well, and the markup around it is most of a package's
// bytes: four times the file limit holds any real document, and still stops
// a bomb.
std::size_t unpack_limit(std::size_t max_file_bytes) {
  return max_file_bytes > SIZE_MAX / 4 ? SIZE_MAX : max_file_bytes * 4;
}

bool matches(const std::string& pattern, std::string_view relative) {
  const std::string target(pattern.find('/') == std::string::npos
                               ? relative.substr(relative.rfind('/') == std::string_view::npos ? 0
                                                                                               : relative.rfind('/') + 1)
                               : relative);
  return ::fnmatch(pattern.c_str(), target.c_str(), 0) == 0;
}

std::string human_size(std::size_t bytes) {
  if (bytes >= (std::size_t{1} << 20U) && bytes % (std::size_t{1} << 20U) == 0) {
    return std::to_string(bytes >> 20U) + " MiB";
  }
  return std::to_string(bytes) + " bytes";
}

// LF only: offsets and chunk ids must not depend on the platform that wrote
// the file.
std::string normalize_newlines(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\r') {
      out.push_back(in[i]);
      continue;
    }
    out.push_back('\n');
    if (i + 1 < in.size() && in[i + 1] == '\n') ++i;
  }
  return out;
}

}  // namespace

LoadError::LoadError(std::string code, const std::string& message)
    : vorn_core::BaseError(message, std::nullopt),
      vorn_core::RuntimeError(message),
      code_(code.empty() ? std::string(load_errc::kIo) : std::move(code)) {}

std::optional<std::string_view> LoadError::default_message() const noexcept {
  return "A document could not be read. Check the path and its permissions, then retry.";
}

std::string_view to_string(FileType format) noexcept {
  switch (format) {
    case FileType::text: return "text";
    case FileType::markdown: return "markdown";
    case FileType::html: return "html";
    case FileType::pdf: return "pdf";
    case FileType::asciidoc: return "asciidoc";
    case FileType::restructured_text: return "restructuredtext";
    case FileType::source_code: return "source";
    case FileType::word_document: return "docx";
    case FileType::open_document: return "odt";
    case FileType::epub_book: return "epub";
  }
  return "text";
}

DocumentLoader::DocumentLoader(LoaderOptions options) : options_(std::move(options)) {
  if (options_.max_file_bytes == 0) throw vorn_core::InvalidValueError("DocumentLoader: max_file_bytes must be at least 1");
  for (std::string& ext : options_.source_extensions) {
    ext = lower(ext);
    if (!ext.empty() && ext.front() != '.') ext.insert(ext.begin(), '.');
  }
}

bool DocumentLoader::is_markdown(const fs::path& file) {
  return builtin_format(lower_extension(file)) == FileType::markdown;
}

bool DocumentLoader::is_supported(const fs::path& file) { return builtin_format(lower_extension(file)).has_value(); }

std::optional<FileType> DocumentLoader::type_of(const fs::path& file) const {
  const std::string ext = lower_extension(file);
  if (auto format = builtin_format(ext)) return format;
  if (!ext.empty() && std::find(options_.source_extensions.begin(), options_.source_extensions.end(), ext) !=
                          options_.source_extensions.end()) {
    return FileType::source_code;
  }
  return std::nullopt;
}

bool DocumentLoader::selected(std::string_view relative) const {
  const auto hit = [&](const std::vector<std::string>& patterns) {
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) { return matches(p, relative); });
  };
  if (!options_.include.empty() && !hit(options_.include)) return false;
  return !hit(options_.exclude);
}

std::vector<std::pair<fs::path, std::string>> DocumentLoader::discover(const fs::path& path) const {
  return discover_all(path).files;
}

Discovery DocumentLoader::discover_all(const fs::path& path) const {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) {
    throw LoadError(load_errc::kNotFound, "Input " + quoted(path) + " does not exist. Check the path and retry.");
  }
  Discovery found;
  if (fs::is_regular_file(status)) {
    if (!type_of(path)) {
      throw LoadError(load_errc::kUnsupported, "Input " + quoted(path) +
                                                   " is not a format this reader knows (text, Markdown, HTML, PDF, "
                                                   "AsciiDoc, reStructuredText, Word, OpenDocument, EPUB, or a "
                                                   "source extension asked for).");
    }
    found.files.emplace_back(path, path.filename().generic_string());
    return found;
  }
  if (!fs::is_directory(status)) {
    throw LoadError(load_errc::kUnsupported,
                    "Input " + quoted(path) + " is neither a regular file nor a directory. Pass a file or a folder.");
  }

  const auto list_error = [&](const std::error_code& e) {
    return LoadError(load_errc::kIo, "Cannot list directory " + quoted(path) + ": " + e.message() +
                                         ". Check its permissions and retry.");
  };
  fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
  if (ec) throw list_error(ec);
  for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) throw list_error(ec);
    const fs::directory_entry& entry = *it;
    if (is_hidden(entry.path())) {
      if (entry.is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (!entry.is_regular_file(ec)) continue;
    std::string relative = entry.path().lexically_relative(path).generic_string();
    if (!selected(relative)) continue;
    if (!type_of(entry.path())) {
      found.unsupported.push_back(entry.path());
      continue;
    }
    found.files.emplace_back(entry.path(), std::move(relative));
  }
  std::sort(found.files.begin(), found.files.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  std::sort(found.unsupported.begin(), found.unsupported.end());
  return found;
}

Document DocumentLoader::load_file(const fs::path& file, std::string source_id) const {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec) {
    throw LoadError(fs::exists(file) ? load_errc::kIo : load_errc::kNotFound,
                    "Cannot read " + quoted(file) + ": " + ec.message() + ". Check the path and retry.");
  }
  const auto too_large = [&](const std::string& size_text) {
    return LoadError(load_errc::kTooLarge, "File " + quoted(file) + " is " + size_text + ", above the " +
                                               human_size(options_.max_file_bytes) +
                                               " limit. Split it into smaller files or raise the size limit.");
  };
  if (size > options_.max_file_bytes) throw too_large(std::to_string(size) + " bytes");

  std::ifstream in(file, std::ios::binary);
  if (!in) throw LoadError(load_errc::kIo, "Cannot open " + quoted(file) + ". Check its permissions and retry.");
  std::string raw(static_cast<std::size_t>(size), '\0');
  in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
  raw.resize(static_cast<std::size_t>(in.gcount()));
  if (in.bad()) throw LoadError(load_errc::kIo, "Reading " + quoted(file) + " failed. Check the disk and retry.");
  // The file may have grown since it was measured.
  if (in.peek() != std::char_traits<char>::eof()) throw too_large("growing");

  const FileType format = type_of(file).value_or(FileType::text);
  Document doc{std::move(source_id), file, {}, false, format, {}, {}};
  if (format == FileType::pdf) {
    ExtractedText pdf;
    try {
      pdf = pdf_to_text(raw);
    } catch (const LoadError& e) {
      throw LoadError(std::string(e.code()), "File " + quoted(file) + ": " + e.message());
    }
    doc.text = normalize_newlines(pdf.text);
    doc.title = std::move(pdf.title);
    doc.page_starts = std::move(pdf.page_starts);
    return doc;
  }
  if (const auto convert = package_reader(format)) {
    ExtractedText package;
    try {
      package = convert(raw, unpack_limit(options_.max_file_bytes));
    } catch (const LoadError& e) {
      throw LoadError(std::string(e.code()), "File " + quoted(file) + ": " + e.message());
    }
    doc.text = normalize_newlines(package.text);
    doc.title = std::move(package.title);
    doc.markdown = true;
    return doc;
  }
  if (const std::string_view kind = binary_kind(raw); !kind.empty()) {
    throw LoadError(load_errc::kBinary, "File " + quoted(file) + " is " + std::string(kind) + ", not text.");
  }
  std::string_view view(raw);
  if (view.substr(0, 3) == "\xEF\xBB\xBF") view.remove_prefix(3);
  if (format == FileType::html) {
    // libxml2 decodes the page itself (it honours a declared charset).
    ExtractedText html = html_to_text(view);
    doc.text = normalize_newlines(replace_invalid_utf8(html.text));
    doc.title = replace_invalid_utf8(html.title);
    doc.links = std::move(html.links);
    doc.markdown = true;
    return doc;
  }

  std::string text;
  if (const std::size_t bad = find_invalid_utf8(view); bad != std::string_view::npos) {
    if (options_.invalid_utf8 == InvalidUtf8::reject) {
      const std::size_t offset = bad + static_cast<std::size_t>(view.data() - raw.data());
      const auto line = 1 + std::count(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(offset), '\n');
      throw LoadError(load_errc::kEncoding, "File " + quoted(file) + " is not valid UTF-8 (line " +
                                                std::to_string(line) + ", byte offset " + std::to_string(offset) +
                                                "). Convert it to UTF-8, or load with invalid_utf8 = replace.");
    }
    text = normalize_newlines(replace_invalid_utf8(view));
  } else {
    text = normalize_newlines(view);
  }
  // A manual page saved from `man` has its structure only in its layout.
  if (format == FileType::text) {
    if (std::optional<ExtractedText> page = manual_page_to_text(text)) {
      doc.text = std::move(page->text);
      doc.title = std::move(page->title);
      doc.markdown = true;
      return doc;
    }
  }
  // AsciiDoc and reStructuredText stay as written: the chunker reads their
  // section structure itself.
  doc.text = std::move(text);
  doc.markdown = format == FileType::markdown;
  return doc;
}

std::vector<Document> DocumentLoader::load(const fs::path& path) const {
  return load(std::span<const fs::path>(&path, 1));
}

std::vector<Document> DocumentLoader::load(std::span<const fs::path> paths) const {
  std::vector<Document> docs;
  std::set<fs::path> seen_files;
  std::map<std::string, fs::path> seen_ids;
  for (const fs::path& input : paths) {
    for (auto& [file, source_id] : discover(input)) {
      std::error_code ec;
      fs::path canonical = fs::weakly_canonical(file, ec);
      if (ec) canonical = file;
      if (!seen_files.insert(canonical).second) continue;
      const auto [it, fresh] = seen_ids.emplace(source_id, file);
      if (!fresh) {
        throw LoadError(load_errc::kDuplicate, "Files " + quoted(it->second) + " and " + quoted(file) +
                                                   " both have the source id '" + source_id +
                                                   "'. Load them in separate runs or rename one.");
      }
      docs.push_back(load_file(file, source_id));
    }
  }
  return docs;
}

}  // namespace vorn_retrieval
