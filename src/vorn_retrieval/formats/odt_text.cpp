// OpenDocument text (.odt): the body of content.xml, titled by meta.xml.
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "office_writer.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "xml_part.hpp"
#include "zip_package.hpp"

namespace vorn_retrieval {
namespace {

using detail::attribute;
using detail::child_element;
using detail::is_element;
using detail::local_name;

constexpr std::string_view kKind = "OpenDocument text";

bool is_one_of(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Generated listings that repeat what the document says elsewhere, and
// deletions kept for change tracking.
bool is_left_out(std::string_view name) {
  return is_one_of(name, {"table-of-content", "illustration-index", "table-index", "object-index", "user-index",
                          "alphabetical-index", "bibliography", "tracked-changes", "note", "annotation",
                          "annotation-end", "sequence-decls", "variable-decls", "user-field-decls", "forms"});
}

int outline_level(const xmlNode* h) {
  const std::string value = attribute(h, "outline-level");
  int level = 0;
  for (const char c : value) {
    if (c < '0' || c > '9' || level > 6) break;
    level = level * 10 + (c - '0');
  }
  return std::clamp(level == 0 ? 1 : level, 1, 6);
}

class BodyReader {
 public:
  BodyReader(const std::map<std::string, std::string, std::less<>>& parents, detail::OfficeWriter& out)
      : parents_(parents), out_(out) {}

  void blocks(const xmlNode* parent) {
    for (const xmlNode* n = parent->children; n != nullptr; n = n->next) {
      if (n->type != XML_ELEMENT_NODE) continue;
      const std::string_view name = local_name(n);
      if (is_left_out(name)) continue;
      if (name == "h") {
        std::vector<const xmlNode*> boxes;
        out_.heading(outline_level(n), inline_text(n, boxes));
        boxes_after(boxes);
      } else if (name == "p") {
        std::vector<const xmlNode*> boxes;
        const std::string text = inline_text(n, boxes);
        if (is_title(attribute(n, "style-name"))) {
          out_.heading(1, text);
        } else {
          out_.paragraph(text);
        }
        boxes_after(boxes);
      } else if (name == "list") {
        list(n, 0);
      } else if (name == "table") {
        table(n);
      } else {
        blocks(n);  // sections, frames anchored to the page, ...
      }
    }
  }

 private:
  // Automatic styles ("P1") stand for a named style with some change.
  bool is_title(const std::string& style) const {
    if (style == "Title") return true;
    const auto it = parents_.find(style);
    return it != parents_.end() && it->second == "Title";
  }

  void boxes_after(const std::vector<const xmlNode*>& boxes) {
    for (const xmlNode* box : boxes) blocks(box);
  }

  void list(const xmlNode* list_node, int depth) {
    for (const xmlNode* entry = list_node->children; entry != nullptr; entry = entry->next) {
      if (!is_element(entry, "list-item") && !is_element(entry, "list-header")) continue;
      bool first = true;
      for (const xmlNode* n = entry->children; n != nullptr; n = n->next) {
        if (is_element(n, "list")) {
          list(n, depth + 1);
        } else if (is_element(n, "p") || is_element(n, "h")) {
          std::vector<const xmlNode*> boxes;
          const std::string text = inline_text(n, boxes);
          // Numbered headings sit in a list of their own; they stay
          // headings. Later paragraphs of an item continue it.
          if (is_element(n, "h")) {
            out_.heading(outline_level(n), text);
          } else if (first) {
            out_.list_item(depth, text);
          } else {
            out_.paragraph(text);
          }
          first = false;
          boxes_after(boxes);
        } else if (is_element(n, "table")) {
          table(n);
        }
      }
    }
  }

  void table(const xmlNode* table_node) {
    std::vector<const xmlNode*> rows;
    collect_rows(table_node, rows);
    for (const xmlNode* row : rows) {
      std::vector<std::string> cells;
      // Repeated columns and rows are not expanded: a repeat count is
      // layout, and a hostile one would be a billion empty cells.
      for (const xmlNode* cell = row->children; cell != nullptr; cell = cell->next) {
        if (!is_element(cell, "table-cell")) continue;
        std::string text;
        cell_text(cell, text);
        cells.push_back(std::move(text));
      }
      out_.table_row(cells);
    }
    out_.end_table();
  }

  static void collect_rows(const xmlNode* parent, std::vector<const xmlNode*>& rows) {
    for (const xmlNode* n = parent->children; n != nullptr; n = n->next) {
      if (is_element(n, "table-row")) {
        rows.push_back(n);
      } else if (is_element(n, "table-header-rows") || is_element(n, "table-rows") ||
                 is_element(n, "table-row-group")) {
        collect_rows(n, rows);
      }
    }
  }

  void cell_text(const xmlNode* parent, std::string& cell) {
    for (const xmlNode* n = parent->children; n != nullptr; n = n->next) {
      if (n->type != XML_ELEMENT_NODE || is_left_out(local_name(n))) continue;
      if (is_element(n, "p") || is_element(n, "h")) {
        std::vector<const xmlNode*> boxes;
        if (!cell.empty()) cell += ' ';
        cell += inline_text(n, boxes);
      } else {
        cell_text(n, cell);
      }
    }
  }

  // The words of a paragraph; frames met on the way (text boxes) are kept
  // for after it.
  static std::string inline_text(const xmlNode* parent, std::vector<const xmlNode*>& boxes) {
    std::string out;
    inline_into(parent, out, boxes);
    return out;
  }

  static void inline_into(const xmlNode* parent, std::string& out, std::vector<const xmlNode*>& boxes) {
    for (const xmlNode* n = parent->children; n != nullptr; n = n->next) {
      if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
        if (n->content == nullptr) continue;
        std::string words = reinterpret_cast<const char*>(n->content);
        std::replace_if(words.begin(), words.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
        out += words;
        continue;
      }
      if (n->type != XML_ELEMENT_NODE) continue;
      const std::string_view name = local_name(n);
      if (is_left_out(name)) continue;
      if (name == "s" || name == "tab") {
        out += ' ';
      } else if (name == "line-break") {
        out += '\n';
      } else if (name == "frame") {
        for (const xmlNode* box = n->children; box != nullptr; box = box->next) {
          if (is_element(box, "text-box")) boxes.push_back(box);
        }
      } else {
        inline_into(n, out, boxes);
      }
    }
  }

  const std::map<std::string, std::string, std::less<>>& parents_;
  detail::OfficeWriter& out_;
};

}  // namespace

ExtractedText odt_to_text(std::string_view odt, std::size_t max_unpacked_bytes) {
  detail::ZipPackage package(odt, max_unpacked_bytes, std::string(kKind));
  const std::string content_xml = package.read_required("content.xml");
  std::string title;
  if (const std::optional<std::string> xml = package.read("meta.xml")) {
    const detail::XmlDocPtr doc = detail::parse_xml_part(*xml, "meta.xml", kKind);
    const xmlNode* root = detail::root_element(doc);
    const xmlNode* meta = root == nullptr ? nullptr : child_element(root, "meta");
    if (const xmlNode* node = meta == nullptr ? nullptr : child_element(meta, "title")) {
      title = detail::text_content(node);
    }
  }
  const detail::XmlDocPtr doc = detail::parse_xml_part(content_xml, "content.xml", kKind);
  detail::OfficeWriter out;
  const xmlNode* root = detail::root_element(doc);
  if (root == nullptr) return out.finish(title);
  std::map<std::string, std::string, std::less<>> parents;
  if (const xmlNode* styles = child_element(root, "automatic-styles")) {
    for (const xmlNode* s = styles->children; s != nullptr; s = s->next) {
      if (is_element(s, "style")) parents.emplace(attribute(s, "name"), attribute(s, "parent-style-name"));
    }
  }
  const xmlNode* body = child_element(root, "body");
  if (const xmlNode* text = body == nullptr ? nullptr : child_element(body, "text")) {
    BodyReader(parents, out).blocks(text);
  }
  return out.finish(title);
}

}  // namespace vorn_retrieval
