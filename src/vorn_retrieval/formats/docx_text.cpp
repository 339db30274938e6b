// Word documents (Office Open XML): the text of word/document.xml, shaped by
// the paragraph styles of word/styles.xml, titled by docProps/core.xml.
#include <algorithm>
#include <cctype>
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

constexpr std::string_view kKind = "Word document";

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// 1..9 from "heading 3" or "Heading3"; 0 for anything else.
int numbered_heading(std::string_view name) {
  std::string text = lower(std::string(name));
  if (text.rfind("heading", 0) != 0) return 0;
  text.erase(0, 7);
  if (!text.empty() && text.front() == ' ') text.erase(0, 1);
  if (text.size() != 1 || text[0] < '1' || text[0] > '9') return 0;
  return text[0] - '0';
}

int clamp_level(int level) { return std::clamp(level, 1, 6); }

// w:outlineLvl: 0..8 are outline levels, 9 is body text.
std::optional<int> outline_level(const xmlNode* ppr) {
  const xmlNode* outline = ppr == nullptr ? nullptr : child_element(ppr, "outlineLvl");
  if (outline == nullptr) return std::nullopt;
  const std::string value = attribute(outline, "val");
  if (value.size() != 1 || value[0] < '0' || value[0] > '8') return std::nullopt;
  return value[0] - '0' + 1;
}

bool numbered(const xmlNode* ppr) {
  const xmlNode* num = ppr == nullptr ? nullptr : child_element(ppr, "numPr");
  if (num == nullptr) return false;
  const xmlNode* id = child_element(num, "numId");
  return id == nullptr || attribute(id, "val") != "0";  // numId 0 switches numbering off
}

struct Style {
  std::string name;  // lower case ("heading 1", "list bullet")
  std::string based_on;
  std::optional<int> outline;
  bool numbered = false;
};

struct ParagraphRole {
  int heading = 0;
  bool list = false;
  bool contents = false;  // an entry of a table of contents, which repeats the headings
};

class Styles {
 public:
  void read(const xmlNode* root) {
    for (const xmlNode* n = root == nullptr ? nullptr : root->children; n != nullptr; n = n->next) {
      if (!is_element(n, "style") || attribute(n, "type") != "paragraph") continue;
      Style s;
      if (const xmlNode* name = child_element(n, "name")) s.name = lower(attribute(name, "val"));
      if (const xmlNode* base = child_element(n, "basedOn")) s.based_on = attribute(base, "val");
      const xmlNode* ppr = child_element(n, "pPr");
      s.outline = outline_level(ppr);
      s.numbered = numbered(ppr);
      styles_.emplace(attribute(n, "styleId"), std::move(s));
    }
  }

  // What a paragraph of this style is, following the styles it is based
  // on: built-in names are English whatever the language of the document,
  // style ids are not.
  ParagraphRole role(const std::string& id) const {
    const auto cached = roles_.find(id);
    if (cached != roles_.end()) return cached->second;
    ParagraphRole role;
    std::string at = id;
    bool heading_found = false;
    for (int step = 0; step < 16 && !at.empty(); ++step) {
      const auto it = styles_.find(at);
      const Style* s = it == styles_.end() ? nullptr : &it->second;
      const std::string name = s != nullptr ? s->name : lower(at);
      if (step == 0 && name.rfind("toc", 0) == 0) role.contents = true;
      if (!heading_found) {
        int level = numbered_heading(name);
        if (level == 0) level = numbered_heading(at);
        if (level == 0 && (name == "title" || lower(at) == "title")) level = 1;
        if (level == 0 && s != nullptr && s->outline) level = *s->outline;
        if (level > 0) {
          role.heading = clamp_level(level);
          heading_found = true;
        }
      }
      if (name.rfind("list", 0) == 0 || (s != nullptr && s->numbered)) role.list = true;
      if (s == nullptr || s->based_on == at) break;
      at = s->based_on;
    }
    roles_.emplace(id, role);
    return role;
  }

 private:
  std::map<std::string, Style, std::less<>> styles_;
  mutable std::map<std::string, ParagraphRole, std::less<>> roles_;
};

class BodyReader {
 public:
  BodyReader(const Styles& styles, detail::OfficeWriter& out) : styles_(styles), out_(out) {}

  void blocks(const xmlNode* parent) {
    for (const xmlNode* n = parent->children; n != nullptr; n = n->next) {
      if (n->type != XML_ELEMENT_NODE) continue;
      const std::string_view name = local_name(n);
      if (name == "p") {
        paragraph(n);
      } else if (name == "tbl") {
        table(n);
      } else if (name == "sdt") {
        if (!is_table_of_contents(n)) {
          if (const xmlNode* content = child_element(n, "sdtContent")) blocks(content);
        }
      } else if (name == "AlternateContent") {
        if (const xmlNode* choice = child_element(n, "Choice")) blocks(choice);
      } else if (name == "customXml" || name == "ins" || name == "moveTo" || name == "smartTag") {
        blocks(n);
      }
    }
  }

 private:
  static bool is_table_of_contents(const xmlNode* sdt) {
    const xmlNode* props = child_element(sdt, "sdtPr");
    const xmlNode* part = props == nullptr ? nullptr : detail::find_element(props, "docPartGallery");
    return part != nullptr && lower(attribute(part, "val")).find("table of contents") != std::string::npos;
  }

  void paragraph(const xmlNode* p) {
    std::string text;
    std::vector<const xmlNode*> boxes;
    runs(p, text, boxes);
    const xmlNode* ppr = child_element(p, "pPr");
    ParagraphRole role;
    int depth = 0;
    if (ppr != nullptr) {
      if (const xmlNode* style = child_element(ppr, "pStyle")) role = styles_.role(attribute(style, "val"));
      if (const std::optional<int> outline = outline_level(ppr)) role.heading = clamp_level(*outline);
      if (numbered(ppr)) {
        role.list = true;
        if (const xmlNode* num = child_element(ppr, "numPr")) {
          if (const xmlNode* level = child_element(num, "ilvl")) {
            const std::string value = attribute(level, "val");
            if (value.size() == 1 && value[0] >= '0' && value[0] <= '8') depth = value[0] - '0';
          }
        }
      }
    }
    if (role.heading > 0 && !role.contents) {
      out_.heading(role.heading, text);
    } else if (role.list && !role.contents) {
      out_.list_item(depth, text);
    } else if (!role.contents) {
      out_.paragraph(text);
    }
    // Text boxes anchored in the paragraph read after it.
    for (const xmlNode* box : boxes) blocks(box);
  }

  // The words of a paragraph's runs; text boxes met on the way are kept
  // for later rather than spliced into the sentence they are anchored in.
  static void runs(const xmlNode* parent, std::string& text, std::vector<const xmlNode*>& boxes) {
    for (const xmlNode* n = parent->children; n != nullptr; n = n->next) {
      if (n->type != XML_ELEMENT_NODE) continue;
      const std::string_view name = local_name(n);
      if (name == "t") {
        std::string words = detail::text_content(n);
        std::replace_if(words.begin(), words.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
        text += words;
      } else if (name == "tab" || name == "ptab") {
        text += ' ';
      } else if (name == "br" || name == "cr") {
        const std::string type = attribute(n, "type");
        text += type == "page" || type == "column" ? ' ' : '\n';
      } else if (name == "noBreakHyphen") {
        text += '-';
      } else if (name == "txbxContent") {
        boxes.push_back(n);
      } else if (name == "AlternateContent") {
        if (const xmlNode* choice = child_element(n, "Choice")) runs(choice, text, boxes);
      } else if (name != "pPr" && name != "rPr" && name != "del" && name != "moveFrom" && name != "instrText" &&
                 name != "delText") {
        runs(n, text, boxes);
      }
    }
  }

  void table(const xmlNode* tbl) {
    std::vector<const xmlNode*> rows;
    collect(tbl, "tr", rows);
    for (const xmlNode* tr : rows) {
      std::vector<const xmlNode*> cells;
      collect(tr, "tc", cells);
      std::vector<std::string> texts;
      texts.reserve(cells.size());
      for (const xmlNode* tc : cells) {
        std::string cell;
        cell_text(tc, cell);
        texts.push_back(std::move(cell));
      }
      out_.table_row(texts);
    }
    out_.end_table();
  }

  // Children named `local`, also those wrapped in content controls.
  static void collect(const xmlNode* parent, std::string_view local, std::vector<const xmlNode*>& found) {
    for (const xmlNode* n = parent->children; n != nullptr; n = n->next) {
      if (is_element(n, local)) {
        found.push_back(n);
      } else if (is_element(n, "sdt") || is_element(n, "customXml")) {
        if (const xmlNode* content = child_element(n, "sdtContent")) {
          collect(content, local, found);
        } else {
          collect(n, local, found);
        }
      }
    }
  }

  // A cell on one line: its paragraphs and any table inside it in order.
  static void cell_text(const xmlNode* parent, std::string& cell) {
    for (const xmlNode* n = parent->children; n != nullptr; n = n->next) {
      if (n->type != XML_ELEMENT_NODE || local_name(n) == "tcPr" || local_name(n) == "del") continue;
      if (is_element(n, "p")) {
        std::string text;
        std::vector<const xmlNode*> boxes;
        runs(n, text, boxes);
        if (!cell.empty()) cell += ' ';
        cell += text;
      } else {
        cell_text(n, cell);
      }
    }
  }

  const Styles& styles_;
  detail::OfficeWriter& out_;
};

}  // namespace

ExtractedText docx_to_text(std::string_view docx, std::size_t max_unpacked_bytes) {
  detail::ZipPackage package(docx, max_unpacked_bytes, std::string(kKind));
  const std::string body_xml = package.read_required("word/document.xml");
  Styles styles;
  if (const std::optional<std::string> xml = package.read("word/styles.xml")) {
    const detail::XmlDocPtr doc = detail::parse_xml_part(*xml, "word/styles.xml", kKind);
    styles.read(detail::root_element(doc));
  }
  std::string title;
  if (const std::optional<std::string> xml = package.read("docProps/core.xml")) {
    const detail::XmlDocPtr doc = detail::parse_xml_part(*xml, "docProps/core.xml", kKind);
    if (const xmlNode* root = detail::root_element(doc)) {
      if (const xmlNode* node = child_element(root, "title")) title = detail::text_content(node);
    }
  }
  const detail::XmlDocPtr doc = detail::parse_xml_part(body_xml, "word/document.xml", kKind);
  detail::OfficeWriter out;
  const xmlNode* root = detail::root_element(doc);
  if (const xmlNode* body = root == nullptr ? nullptr : child_element(root, "body")) {
    BodyReader(styles, out).blocks(body);
  }
  return out.finish(title);
}

}  // namespace vorn_retrieval
