#include "vorn_inference/rerank_client.hpp"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "vorn_core/text.hpp"
#include "vorn_core/value.hpp"
#include "vorn_inference/errors.hpp"
#include "openai_replies.hpp"
#include "openai_transport.hpp"

namespace vorn_inference {
namespace {

using nlohmann::json;
constexpr std::string_view kPath = "/rerank";

// At most `limit` bytes, cut before a partial UTF-8 sequence.
std::string cut_document(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && vorn_core::is_utf8_continuation(text[end])) --end;
  text.resize(end);
  return text;
}

std::string build_body(const RerankClientOptions& options, std::string query, std::vector<std::string> documents,
                       std::size_t top_n) {
  json body = json::object();
  body["model"] = options.model;
  body["query"] = std::move(query);
  json list = json::array();
  for (std::string& document : documents) list.push_back(cut_document(std::move(document), options.max_document_bytes));
  body["documents"] = std::move(list);
  body["top_n"] = top_n;
  return detail::dump_request(body);
}

}  // namespace

std::vector<RerankScore> detail::read_rerank_reply(const json& reply, std::size_t count, std::size_t expected,
                                                   const std::string& safe_url) {
  auto malformed = [&](const std::string& what) {
    return ModelResponseError("The rerank endpoint " + safe_url + " answered " + what +
                              ". Check that it serves a reranking model at this URL, then retry.");
  };
  const json* results = &reply;
  if (reply.is_object()) {
    const auto found = reply.find("results");
    if (found == reply.end()) throw malformed("without a `results` list");
    results = &*found;
  }
  if (!results->is_array()) throw malformed("scores that are not a list");
  if (results->size() < expected || results->size() > count) {
    throw malformed(std::to_string(results->size()) + " scores where " + std::to_string(expected) + " of " +
                    std::to_string(count) + " documents were asked for");
  }
  std::vector<bool> seen(count, false);
  std::vector<RerankScore> scores;
  scores.reserve(results->size());
  for (const json& item : *results) {
    const std::size_t i = take_reply_index(item, seen, malformed, "a score");
    auto value = item.find("relevance_score");
    if (value == item.end()) value = item.find("score");
    if (value == item.end() || !value->is_number() || !std::isfinite(value->get<double>())) {
      throw malformed("a score for document " + std::to_string(i) + " that is not a finite number");
    }
    scores.push_back(RerankScore{i, value->get<double>()});
  }
  std::sort(scores.begin(), scores.end(), [](const RerankScore& a, const RerankScore& b) {
    return a.score != b.score ? a.score > b.score : a.index < b.index;
  });
  return scores;
}

RerankClient::RerankClient(RerankClientOptions options) : options_(std::move(options)) {
  if (options_.model.empty()) throw ModelConfigError("Missing `model`. Pass the reranking model name and retry.");
  if (options_.max_document_bytes == 0) {
    throw ModelConfigError("`max_document_bytes` must be positive. Pass 1 or more and retry.");
  }
  transport_ = std::make_unique<detail::OpenAITransport>(options_.endpoint);
}

RerankClient::~RerankClient() = default;

vorn_core::Task<std::vector<RerankScore>> RerankClient::score(std::string query, std::vector<std::string> documents,
                                                               RerankCallOptions call) const {
  const std::size_t count = documents.size();
  if (count == 0) co_return std::vector<RerankScore>{};
  const std::size_t top_n = call.top_n == 0 ? count : std::min(call.top_n, count);
  std::string body = build_body(options_, std::move(query), std::move(documents), top_n);
  detail::CallControl control;
  control.deadline = call.deadline;
  control.stop = call.stop;
  std::string path(kPath);
  auto pending = transport_->post(std::move(path), std::move(body), std::move(control));
  const json reply = co_await std::move(pending);
  std::vector<RerankScore> scores = detail::read_rerank_reply(reply, count, top_n, transport_->safe_url(kPath));
  // A server that ignores `top_n` answers for every document.
  if (scores.size() > top_n) scores.resize(top_n);
  co_return scores;
}

std::string RerankClient::repr() const {
  return "RerankClient(model=" + vorn_core::quote(options_.model) +
         ", base_url=" + vorn_core::quote(redact_url(options_.endpoint.base_url)) + ")";
}

}  // namespace vorn_inference
