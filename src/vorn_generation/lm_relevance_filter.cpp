#include "vorn_generation/lm_relevance_filter.hpp"

#include <cstdint>
#include <vector>

#include "vorn_core/error.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "structured_answer.hpp"

namespace vorn_generation {
namespace {

constexpr std::string_view kComponent = "LMRelevanceFilter";

std::string passages_text(const vorn_core::ChunkList& chunks, std::size_t max_chars) {
  std::string out;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!out.empty()) out += "\n\n";
    out += "[" + std::to_string(i + 1) + "] " + detail::clip(chunks[i]->content, max_chars);
  }
  return out;
}

// Positions (0-based) the model marked relevant; lenient models may answer
// numbers instead of label strings.
std::vector<bool> relevant_positions(const vorn_core::Value& relevant, std::size_t count) {
  if (!relevant.is_list()) {
    detail::invalid_answer(kComponent, "`relevant` is a " + relevant.type_name() + ", not a list");
  }
  std::vector<bool> keep(count, false);
  for (const vorn_core::Value& label : relevant.as_list()) {
    std::int64_t number = 0;
    bool ok = false;
    if (label.is_int()) {
      number = label.as_int();
      ok = true;
    } else if (label.is_string() && !label.as_string().empty() && label.as_string().size() <= 18 &&
               label.as_string().find_first_not_of("0123456789") == std::string::npos) {
      number = std::stoll(label.as_string());
      ok = true;
    }
    if (!ok || number < 1 || static_cast<std::size_t>(number) > count) {
      detail::invalid_answer(kComponent, "the label " + label.repr() + " is not one of the passage labels 1 to " +
                                             std::to_string(count));
    }
    keep[static_cast<std::size_t>(number - 1)] = true;
  }
  return keep;
}

LMRequestProcessorPtr processor_for(const PromptBuilderPtr& builder, const vorn_inference::LMInvokerPtr& invoker,
                                    std::size_t passages) {
  return std::make_shared<LMRequestProcessor>(builder, invoker, LMRelevanceFilter::response_schema(passages));
}

}  // namespace

LMRelevanceFilter::LMRelevanceFilter(vorn_inference::LMInvokerPtr lm_invoker, LMRelevanceFilterOptions options)
    : lm_invoker_(std::move(lm_invoker)), options_(std::move(options)) {
  if (!lm_invoker_) {
    throw vorn_core::InvalidValueError("Missing `lm_invoker`. Pass an LM invoker to LMRelevanceFilter and retry.");
  }
  prompt_builder_ = std::make_shared<PromptBuilder>(options_.system_prompt, options_.user_prompt);
  detail::check_templates(*prompt_builder_, {"query", "passages"});
}

vorn_core::Value LMRelevanceFilter::response_schema(std::size_t passages) {
  vorn_core::List labels;
  labels.reserve(passages);
  for (std::size_t i = 1; i <= passages; ++i) labels.emplace_back(std::to_string(i));
  vorn_core::Dict items;
  items.set("type", "string");
  items.set("enum", std::move(labels));
  vorn_core::Dict relevant;
  relevant.set("type", "array");
  relevant.set("description", "Labels of the relevant passages.");
  relevant.set("items", std::move(items));
  vorn_core::Dict properties;
  properties.set("relevant", std::move(relevant));
  vorn_core::Dict schema;
  schema.set("title", "relevant_passages");
  schema.set("type", "object");
  schema.set("properties", std::move(properties));
  schema.set("required", vorn_core::List{vorn_core::Value("relevant")});
  schema.set("additionalProperties", false);
  return schema;
}

vorn_core::Task<vorn_core::ChunkList> LMRelevanceFilter::filter(vorn_core::ChunkList chunks, std::string query) {
  [[maybe_unused]] const auto keep_alive = weak_from_this().lock();
  // An absent chunk has nothing to judge; it is left out like elsewhere.
  std::erase(chunks, nullptr);
  if (chunks.empty()) co_return chunks;
  vorn_core::Dict inputs;
  inputs.set("query", std::move(query));
  inputs.set("passages", passages_text(chunks, options_.max_chars_per_chunk));
  const LMRequestProcessorPtr processor = processor_for(prompt_builder_, lm_invoker_, chunks.size());
  std::vector<bool> keep;
  auto check = [&keep, count = chunks.size()](const vorn_inference::LMOutputPtr& output) {
    keep = relevant_positions(detail::structured_field(output, "relevant", kComponent), count);
  };
  auto pending = processor->process_checked(std::move(inputs), check);
  co_await std::move(pending);
  vorn_core::ChunkList kept;
  for (std::size_t i = 0; i < chunks.size(); ++i)
    if (keep[i]) kept.push_back(chunks[i]);
  co_return kept;
}

}  // namespace vorn_generation
