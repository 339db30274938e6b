#include "vorn_inference/openai_embedder.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "vorn_core/when_all.hpp"
#include "vorn_inference/errors.hpp"
#include "openai_replies.hpp"
#include "openai_transport.hpp"

namespace vorn_inference {
namespace {

using nlohmann::json;
constexpr std::string_view kPath = "/embeddings";

std::string build_body(const OpenAIEmbedderOptions& options, const std::vector<std::string>& texts,
                       std::size_t begin, std::size_t end) {
  json body = json::object();
  body["model"] = options.model;
  json input = json::array();
  for (std::size_t i = begin; i < end; ++i) input.push_back(texts[i]);
  body["input"] = std::move(input);
  body["encoding_format"] = "float";
  if (options.send_dimensions) body["dimensions"] = options.dimension;
  return detail::dump_request(body);
}

}  // namespace

void detail::read_embedding_batch(const json& reply, const OpenAIEmbedderOptions& options, const std::string& safe_url,
                                  std::vector<Embedding>& out, std::size_t begin, std::size_t count) {
  auto malformed = [&](const std::string& what) {
    return ModelResponseError("The embedding endpoint " + safe_url + " answered " + what +
                              ". Check the model, `dimension` and the endpoint, then retry.");
  };
  const auto data = reply.is_object() ? reply.find("data") : reply.end();
  if (!reply.is_object() || data == reply.end() || !data->is_array()) throw malformed("without a `data` list");
  if (data->size() != count) {
    throw malformed(std::to_string(data->size()) + " embeddings for " + std::to_string(count) + " texts");
  }
  std::vector<bool> seen(count, false);
  for (const json& item : *data) {
    const std::size_t i = take_reply_index(item, seen, malformed, "an embedding");
    const auto vector = item.find("embedding");
    if (vector == item.end() || !vector->is_array()) throw malformed("an embedding that is not a list of numbers");
    if (vector->size() != options.dimension) {
      throw malformed("a vector of dimension " + std::to_string(vector->size()) + " where " +
                      std::to_string(options.dimension) + " was configured");
    }
    Embedding& target = out[begin + static_cast<std::size_t>(i)];
    target.reserve(options.dimension);
    for (const json& x : *vector) {
      if (!x.is_number() || !std::isfinite(x.get<double>())) throw malformed("a vector with a non-numeric entry");
      target.push_back(static_cast<float>(x.get<double>()));
    }
  }
}

OpenAIEmbedder::OpenAIEmbedder(OpenAIEmbedderOptions options) : options_(std::move(options)) {
  if (options_.model.empty()) throw ModelConfigError("Missing `model`. Pass the embedding model name and retry.");
  if (options_.dimension == 0) {
    throw ModelConfigError("`dimension` must be positive. Pass the model's vector length and retry.");
  }
  if (options_.batch_size == 0) throw ModelConfigError("`batch_size` must be positive. Pass 1 or more and retry.");
  transport_ = std::make_unique<detail::OpenAITransport>(options_.endpoint);
}

OpenAIEmbedder::~OpenAIEmbedder() = default;

vorn_core::Task<void> OpenAIEmbedder::embed_batch(const std::vector<std::string>& texts, std::size_t begin,
                                                  std::size_t end, std::vector<Embedding>& out) const {
  std::string body = build_body(options_, texts, begin, end);
  std::string path(kPath);
  auto pending = transport_->post(std::move(path), std::move(body));
  const json reply = co_await std::move(pending);
  detail::read_embedding_batch(reply, options_, transport_->safe_url(kPath), out, begin, end - begin);
}

vorn_core::Task<std::vector<Embedding>> OpenAIEmbedder::embed(std::vector<std::string> texts) {
  [[maybe_unused]] const auto keep_alive = weak_from_this().lock();
  std::vector<Embedding> out(texts.size());
  // Every batch goes out at once; the endpoint's in-flight limit decides how
  // many are on the wire. Each writes only its own range of `out`, and all
  // run on this loop's thread.
  std::vector<vorn_core::Task<void>> batches;
  for (std::size_t begin = 0; begin < texts.size(); begin += options_.batch_size) {
    const std::size_t end = std::min(texts.size(), begin + options_.batch_size);
    batches.push_back(embed_batch(texts, begin, end, out));
  }
  co_await vorn_core::when_all(std::move(batches));
  co_return out;
}

std::string OpenAIEmbedder::repr() const {
  return "OpenAIEmbedder(model=" + vorn_core::quote(options_.model) + ", dimension=" +
         std::to_string(options_.dimension) + ", base_url=" + vorn_core::quote(redact_url(options_.endpoint.base_url)) +
         ")";
}

}  // namespace vorn_inference
