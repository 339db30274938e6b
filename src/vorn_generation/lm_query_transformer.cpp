#include "vorn_generation/lm_query_transformer.hpp"

#include <algorithm>
#include <cctype>

#include "vorn_core/error.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "structured_answer.hpp"

namespace vorn_generation {
namespace {

constexpr std::string_view kComponent = "LMQueryTransformer";

std::string trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

void add_query(vorn_core::List& out, const std::string& query, std::size_t limit) {
  if (out.size() >= limit || query.empty()) return;
  const bool repeated =
      std::any_of(out.begin(), out.end(), [&](const vorn_core::Value& q) { return q.as_string() == query; });
  if (!repeated) out.emplace_back(query);
}

vorn_core::Value normalise(const vorn_core::Value& queries, const std::string& original,
                           const LMQueryTransformerOptions& options) {
  if (!queries.is_list()) detail::invalid_answer(kComponent, "`queries` is a " + queries.type_name() + ", not a list");
  vorn_core::List out;
  if (options.include_original) add_query(out, trimmed(original), options.max_queries);
  for (const vorn_core::Value& q : queries.as_list()) {
    if (!q.is_string()) detail::invalid_answer(kComponent, "the query " + q.repr() + " is not a string");
    add_query(out, trimmed(q.as_string()), options.max_queries);
  }
  return out;
}

}  // namespace

LMQueryTransformer::LMQueryTransformer(vorn_inference::LMInvokerPtr lm_invoker, LMQueryTransformerOptions options)
    : lm_invoker_(std::move(lm_invoker)), options_(std::move(options)) {
  if (!lm_invoker_) {
    throw vorn_core::InvalidValueError("Missing `lm_invoker`. Pass an LM invoker to LMQueryTransformer and retry.");
  }
  if (options_.max_queries == 0) {
    throw vorn_core::InvalidValueError("`max_queries` must be positive. Pass 1 or more and retry.");
  }
  auto builder = std::make_shared<PromptBuilder>(options_.system_prompt, options_.user_prompt);
  detail::check_templates(*builder, {"query", "max_queries"});
  processor_ = std::make_shared<LMRequestProcessor>(std::move(builder), lm_invoker_, response_schema());
}

vorn_core::Value LMQueryTransformer::response_schema() {
  vorn_core::Dict items;
  items.set("type", "string");
  vorn_core::Dict queries;
  queries.set("type", "array");
  queries.set("description", "Search queries, most useful first.");
  queries.set("items", std::move(items));
  vorn_core::Dict properties;
  properties.set("queries", std::move(queries));
  vorn_core::Dict schema;
  schema.set("title", "search_queries");
  schema.set("type", "object");
  schema.set("properties", std::move(properties));
  schema.set("required", vorn_core::List{vorn_core::Value("queries")});
  schema.set("additionalProperties", false);
  return schema;
}

vorn_core::Task<vorn_core::Value> LMQueryTransformer::transform(std::string query) {
  [[maybe_unused]] const auto keep_alive = weak_from_this().lock();
  vorn_core::Dict inputs;
  inputs.set("query", query);
  inputs.set("max_queries", static_cast<std::int64_t>(options_.max_queries));
  vorn_core::Value queries;
  auto check = [&](const vorn_inference::LMOutputPtr& output) {
    queries = normalise(detail::structured_field(output, "queries", kComponent), query, options_);
  };
  auto pending = processor_->process_checked(std::move(inputs), check);
  co_await std::move(pending);
  co_return queries;
}

}  // namespace vorn_generation
