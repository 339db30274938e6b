#include "responses.hpp"

#include "components.hpp"

namespace vorn_serve {

nlohmann::json citation_json(const Citation& citation) {
  nlohmann::json json = {{"id", citation.id}, {"source", citation.source}, {"text", citation.text}};
  json["score"] = citation.score ? nlohmann::json(*citation.score) : nlohmann::json(nullptr);
  return json;
}

nlohmann::json ask_json(const AskResult& result) {
  nlohmann::json citations = nlohmann::json::array();
  for (const auto& c : result.citations) citations.push_back(citation_json(c));
  nlohmann::json json = {{"answer", result.answer}, {"strategy", result.strategy}, {"citations", std::move(citations)}};
  if (result.trace) json["trace"] = vorn_cli::trace_json(*result.trace);
  return json;
}

nlohmann::json search_json(const std::vector<Citation>& hits) {
  nlohmann::json results = nlohmann::json::array();
  for (const auto& c : hits) results.push_back(citation_json(c));
  return {{"results", std::move(results)}};
}

nlohmann::json sources_json(const std::vector<SourceInfo>& sources) {
  nlohmann::json list = nlohmann::json::array();
  std::size_t total = 0;
  for (const auto& s : sources) {
    list.push_back({{"path", s.path}, {"name", s.name}, {"chunks", s.chunks}, {"indexed_at", s.indexed_at}});
    total += s.chunks;
  }
  return {{"sources", std::move(list)}, {"chunks", total}};
}

nlohmann::json models_json(std::int64_t created) {
  nlohmann::json data = nlohmann::json::array();
  for (const auto& name : vorn_cli::kStrategies) {
    data.push_back({{"id", name}, {"object", "model"}, {"created", created}, {"owned_by", "vorn-rag"}});
  }
  return {{"object", "list"}, {"data", std::move(data)}};
}

std::string dump(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vorn_serve
