// The XML parts of office documents and e-books, parsed with libxml2 and
// walked by local name: the readers match elements whatever prefix a
// producer chose for their namespace.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "libxml_api.hpp"

namespace vorn_retrieval::detail {

struct XmlDocFree {
  void operator()(xmlDoc* doc) const noexcept;
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;

// One part of a package. Nothing is fetched from the network, no DTD is
// loaded and a part that declares entities is refused (no document of these
// formats needs them; expanding them is how small files become huge).
// libxml2's own limits stand (nesting depth, length of a text node). Throws
// LoadError(VORN-LOAD-FORMAT) naming `part` of the `kind` when it is not
// well-formed XML.
XmlDocPtr parse_xml_part(std::string_view xml, std::string_view part, std::string_view kind);

// The root element; nullptr for none.
const xmlNode* root_element(const XmlDocPtr& doc);

std::string_view local_name(const xmlNode* node) noexcept;
bool is_element(const xmlNode* node, std::string_view local) noexcept;
// The value of the attribute with this local name, or "".
std::string attribute(const xmlNode* node, std::string_view local);
// The first child element with this local name, or nullptr.
const xmlNode* child_element(const xmlNode* node, std::string_view local) noexcept;
// The first element with this local name below `node` (depth first), or nullptr.
const xmlNode* find_element(const xmlNode* node, std::string_view local) noexcept;
// The text of the node and everything below it, as written.
std::string text_content(const xmlNode* node);

}  // namespace vorn_retrieval::detail
