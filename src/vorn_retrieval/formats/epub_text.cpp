// EPUB books: the documents of the spine, in reading order, through the
// HTML reader, under the title of the package document.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "html_reader.hpp"
#include "office_writer.hpp"
#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "vorn_retrieval/document_loader.hpp"
#include "xml_part.hpp"
#include "zip_package.hpp"

namespace vorn_retrieval {
namespace {

using detail::attribute;
using detail::child_element;
using detail::is_element;

constexpr std::string_view kKind = "EPUB book";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decoded(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The entry a reference from the directory `base` ("OEBPS/", or "") names,
// or nullopt for one that leaves the package: another site, an absolute
// path, or more ".." than there are directories.
std::optional<std::string> entry_name(std::string_view base, std::string_view reference) {
  reference = reference.substr(0, reference.find('#'));
  const std::size_t colon = reference.find(':');
  if (colon != std::string_view::npos && reference.find('/') > colon) return std::nullopt;  // a URL scheme
  if (reference.empty() || reference.front() == '/') return std::nullopt;
  const std::string path = std::string(base) + percent_decoded(reference);
  std::vector<std::string> parts;
  std::size_t from = 0;
  while (from <= path.size()) {
    const std::size_t end = std::min(path.find('/', from), path.size());
    const std::string part = path.substr(from, end - from);
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    from = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : "/") + part;
  if (out.empty()) return std::nullopt;
  return out;
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

LoadError unreadable(const std::string& why) {
  return LoadError(load_errc::kFormat, "The " + std::string(kKind) + " could not be read (" + why +
                                           "). Repair or re-export it.");
}

// The package document's path, from META-INF/container.xml.
std::string package_document(detail::ZipPackage& package) {
  const std::string xml = package.read_required("META-INF/container.xml");
  const detail::XmlDocPtr doc = detail::parse_xml_part(xml, "META-INF/container.xml", kKind);
  const xmlNode* root = detail::root_element(doc);
  const xmlNode* rootfiles = root == nullptr ? nullptr : child_element(root, "rootfiles");
  std::string found;
  for (const xmlNode* n = rootfiles == nullptr ? nullptr : rootfiles->children; n != nullptr; n = n->next) {
    if (!is_element(n, "rootfile")) continue;
    const std::string path = attribute(n, "full-path");
    const std::string type = attribute(n, "media-type");
    if (path.empty() || (!type.empty() && type != "application/oebps-package+xml")) continue;
    found = path;
    break;
  }
  if (found.empty()) throw unreadable("META-INF/container.xml names no package document");
  return found;
}

bool is_page(const std::string& media_type, const std::string& href) {
  if (media_type == "application/xhtml+xml" || media_type == "text/html") return true;
  if (!media_type.empty()) return false;
  const std::string path = href.substr(0, href.find('#'));
  for (const std::string_view ext : {".xhtml", ".html", ".htm"}) {
    if (path.size() >= ext.size() && path.compare(path.size() - ext.size(), ext.size(), ext) == 0) return true;
  }
  return false;
}

}  // namespace

ExtractedText epub_to_text(std::string_view epub, std::size_t max_unpacked_bytes) {
  detail::ZipPackage package(epub, max_unpacked_bytes, std::string(kKind));
  const std::string opf_path = package_document(package);
  const std::optional<std::string> opf_name = entry_name("", opf_path);
  const std::optional<std::string> opf_xml = opf_name ? package.read(*opf_name) : std::nullopt;
  if (!opf_xml) throw unreadable("it has no package document '" + opf_path + "'");
  const detail::XmlDocPtr opf = detail::parse_xml_part(*opf_xml, *opf_name, kKind);
  const xmlNode* root = detail::root_element(opf);
  if (root == nullptr) throw unreadable("its package document is empty");

  std::string title;
  if (const xmlNode* metadata = child_element(root, "metadata")) {
    if (const xmlNode* node = child_element(metadata, "title")) title = detail::one_line(detail::text_content(node));
  }
  struct Item {
    std::string href;
    std::string media_type;
  };
  std::map<std::string, Item, std::less<>> manifest;
  if (const xmlNode* list = child_element(root, "manifest")) {
    for (const xmlNode* n = list->children; n != nullptr; n = n->next) {
      if (is_element(n, "item")) manifest.emplace(attribute(n, "id"), Item{attribute(n, "href"), attribute(n, "media-type")});
    }
  }

  // Chapters are sections of the book: their headings go one level below
  // its title, and their own <title> (most often the book's again) is no
  // heading.
  const detail::HtmlOptions chapter{title.empty() ? 0 : 1, false};
  std::string text;
  if (!title.empty()) text = "# " + title;
  std::string first_chapter_title;
  const std::string base = directory_of(*opf_name);
  const xmlNode* spine = child_element(root, "spine");
  for (const xmlNode* n = spine == nullptr ? nullptr : spine->children; n != nullptr; n = n->next) {
    if (!is_element(n, "itemref")) continue;
    const auto item = manifest.find(attribute(n, "idref"));
    if (item == manifest.end() || !is_page(item->second.media_type, item->second.href)) continue;
    const std::optional<std::string> name = entry_name(base, item->second.href);
    // A page the book lists but does not hold is passed over, as readers do.
    const std::optional<std::string> page = name ? package.read(*name) : std::nullopt;
    if (!page) continue;
    ExtractedText chapter_text = detail::html_to_text(*page, chapter);
    if (first_chapter_title.empty()) first_chapter_title = chapter_text.title;
    // A title page repeats the book's title, already the top heading.
    if (!title.empty() && chapter_text.text.rfind("## " + title, 0) == 0) {
      const std::size_t end = 3 + title.size();
      if (end == chapter_text.text.size() || chapter_text.text[end] == '\n') {
        chapter_text.text.erase(0, chapter_text.text.find_first_not_of('\n', end));
      }
    }
    if (chapter_text.text.empty()) continue;
    if (!text.empty()) text += "\n\n";
    text += chapter_text.text;
  }
  ExtractedText out;
  out.text = vorn_core::replace_invalid_utf8(text);
  out.title = vorn_core::replace_invalid_utf8(title.empty() ? first_chapter_title : title);
  return out;
}

}  // namespace vorn_retrieval
