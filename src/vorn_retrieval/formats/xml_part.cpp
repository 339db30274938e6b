#include "xml_part.hpp"

#include <climits>

#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_loader.hpp"

namespace vorn_retrieval::detail {
namespace {

bool is_utf16(std::string_view bytes) {
  return bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF";
}

// A part in UTF-16 (which these formats allow, marked by its byte-order
// mark) as UTF-8.
std::string utf16_as_utf8(std::string_view bytes) {
  const bool little = bytes.substr(0, 2) == "\xFF\xFE";
  const auto unit = [&](std::size_t i) -> char32_t {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    return little ? static_cast<char32_t>(b << 8U | a) : static_cast<char32_t>(a << 8U | b);
  };
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10U) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    vorn_core::append_utf8(out, c);
  }
  return out;
}

}  // namespace

void XmlDocFree::operator()(xmlDoc* doc) const noexcept { libxml_api().free_doc(doc); }

XmlDocPtr parse_xml_part(std::string_view xml, std::string_view part, std::string_view kind) {
  const LibxmlApi& api = libxml_api();
  const auto damaged = [&](std::string_view why) {
    return LoadError(load_errc::kFormat, "The " + std::string(kind) + " is damaged: its part '" + std::string(part) +
                                             "' " + std::string(why) + ". Repair or re-export it.");
  };
  // The part is read as UTF-8 whatever its declaration says, so that the
  // check below sees the bytes the parser sees: a declared encoding could
  // otherwise spell a declaration in other bytes.
  std::string converted;
  std::string_view text = xml;
  if (is_utf16(xml)) text = converted = utf16_as_utf8(xml);
  // Literal "<!ENTITY" can only stand in a document type declaration (in
  // text it is escaped), or in a comment or CDATA, where refusing costs
  // nothing real.
  if (text.find("<!ENTITY") != std::string_view::npos) throw damaged("declares XML entities");
  if (text.size() > static_cast<std::size_t>(INT_MAX)) throw damaged("is larger than 2 GiB");
  // No XML_PARSE_NOENT, DTDLOAD or HUGE: entities stay unexpanded, nothing
  // outside the part is read, and libxml2 keeps its depth and size limits.
  const int options =
      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA | XML_PARSE_IGNORE_ENC;
  XmlDocPtr doc(api.xml_read_memory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8", options));
  if (!doc) throw damaged("is not well-formed XML");
  return doc;
}

const xmlNode* root_element(const XmlDocPtr& doc) { return libxml_api().doc_get_root_element(doc.get()); }

std::string_view local_name(const xmlNode* node) noexcept {
  return node == nullptr || node->name == nullptr ? std::string_view{}
                                                  : std::string_view(reinterpret_cast<const char*>(node->name));
}

bool is_element(const xmlNode* node, std::string_view local) noexcept {
  return node != nullptr && node->type == XML_ELEMENT_NODE && local_name(node) == local;
}

std::string attribute(const xmlNode* node, std::string_view local) {
  for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
    if (a->name == nullptr || std::string_view(reinterpret_cast<const char*>(a->name)) != local) continue;
    std::string value;
    for (const xmlNode* t = a->children; t != nullptr; t = t->next) {
      if (t->content != nullptr) value += reinterpret_cast<const char*>(t->content);
    }
    return value;
  }
  return {};
}

const xmlNode* child_element(const xmlNode* node, std::string_view local) noexcept {
  for (const xmlNode* n = node->children; n != nullptr; n = n->next) {
    if (is_element(n, local)) return n;
  }
  return nullptr;
}

const xmlNode* find_element(const xmlNode* node, std::string_view local) noexcept {
  for (const xmlNode* n = node->children; n != nullptr; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    if (local_name(n) == local) return n;
    if (const xmlNode* below = find_element(n, local)) return below;
  }
  return nullptr;
}

std::string text_content(const xmlNode* node) {
  std::string out;
  for (const xmlNode* n = node->children; n != nullptr; n = n->next) {
    if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
      if (n->content != nullptr) out += reinterpret_cast<const char*>(n->content);
    } else if (n->type == XML_ELEMENT_NODE) {
      out += text_content(n);
    }
  }
  return out;
}

}  // namespace vorn_retrieval::detail
