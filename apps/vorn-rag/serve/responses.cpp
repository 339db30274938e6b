#include "responses.hpp"

#include "components.hpp"
#include "json_text.hpp"

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

namespace {

// Keys in the order dump() writes them: sorted.
void append_citations(std::string& out, const std::vector<Citation>& citations) {
  out += '[';
  for (std::size_t i = 0; i < citations.size(); ++i) {
    const Citation& c = citations[i];
    if (i > 0) out += ',';
    out += "{\"id\":";
    append_json_string(out, c.id);
    out += ",\"score\":";
    if (c.score) {
      append_json_number(out, *c.score);
    } else {
      out += "null";
    }
    out += ",\"source\":";
    append_json_string(out, c.source);
    out += ",\"text\":";
    append_json_string(out, c.text);
    out += '}';
  }
  out += ']';
}

std::size_t text_size(const std::vector<Citation>& citations) {
  std::size_t size = 0;
  for (const auto& c : citations) size += c.id.size() + c.source.size() + c.text.size() + 64;
  return size;
}

}  // namespace

std::string ask_body(const AskResult& result) {
  std::string out;
  out.reserve(result.answer.size() + text_size(result.citations) + 64);
  out += "{\"answer\":";
  append_json_string(out, result.answer);
  out += ",\"citations\":";
  append_citations(out, result.citations);
  out += ",\"strategy\":";
  append_json_string(out, result.strategy);
  if (result.trace) {
    out += ",\"trace\":";
    out += dump(vorn_cli::trace_json(*result.trace));
  }
  out += '}';
  return out;
}

std::string search_body(const std::vector<Citation>& hits) {
  std::string out;
  out.reserve(text_size(hits) + 16);
  out += "{\"results\":";
  append_citations(out, hits);
  out += '}';
  return out;
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
