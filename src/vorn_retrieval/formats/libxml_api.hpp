// libxml2's HTML and XML parsers, loaded on the first page or office
// document rather than linked: linked, it and ICU cost every start of every
// program about 3 ms of loading, and most runs read neither.
#pragma once

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>

namespace vorn_retrieval::detail {

// The libxml2 functions the HTML and office document readers call.
struct LibxmlApi {
  decltype(&::xmlInitParser) init_parser;
  decltype(&::htmlReadMemory) html_read_memory;
  decltype(&::xmlReadMemory) xml_read_memory;
  decltype(&::xmlDocGetRootElement) doc_get_root_element;
  decltype(&::xmlFreeDoc) free_doc;
};

// Loads libxml2 and initialises its parser the first time (thread-safe);
// throws LoadError(VORN-LOAD-UNSUPPORTED) when it is not installed.
const LibxmlApi& libxml_api();

}  // namespace vorn_retrieval::detail
