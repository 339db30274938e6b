// libxml2's HTML parser, loaded on the first HTML page rather than linked:
// linked, it and ICU cost every start of every program about 3 ms of
// loading, and most runs read no HTML.
#pragma once

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>

namespace vorn_retrieval::detail {

// The libxml2 functions the HTML reader calls.
struct LibxmlApi {
  decltype(&::xmlInitParser) init_parser;
  decltype(&::htmlReadMemory) html_read_memory;
  decltype(&::xmlDocGetRootElement) doc_get_root_element;
  decltype(&::xmlFreeDoc) free_doc;
};

// Loads libxml2 and initialises its parser the first time (thread-safe);
// throws LoadError(VORN-LOAD-UNSUPPORTED) when it is not installed.
const LibxmlApi& libxml_api();

}  // namespace vorn_retrieval::detail
