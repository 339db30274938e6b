// JSON bodies of the API's answers.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service.hpp"

namespace vorn_serve {

nlohmann::json citation_json(const Citation& citation);
// {"answer", "strategy", "citations": [...], "trace"?: [...]}
nlohmann::json ask_json(const AskResult& result);
// {"results": [...]}
nlohmann::json search_json(const std::vector<Citation>& hits);
// {"sources": [{"path", "name", "chunks", "indexed_at"}], "chunks": total}, by path
nlohmann::json sources_json(const std::vector<SourceInfo>& sources);
// The strategies as OpenAI models: {"object": "list", "data": [{"id", "object": "model", ...}]}
nlohmann::json models_json(std::int64_t created);

// The wire text of ask_json() and search_json(), written without building
// the documents: equal to dump() of them, byte for byte.
std::string ask_body(const AskResult& result);
std::string search_body(const std::vector<Citation>& hits);

// Serialises for the wire; invalid UTF-8 from stored text becomes U+FFFD
// instead of failing the whole answer.
std::string dump(const nlohmann::json& json);

}  // namespace vorn_serve
