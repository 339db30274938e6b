#include "vorn_inference/extractive_lm_invoker.hpp"

#include "vorn_core/error.hpp"

namespace vorn_inference {
namespace {

std::string_view trim(std::string_view s) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

// Position of the last `marker` that starts a line, or npos.
std::size_t last_line_marker(std::string_view text, std::string_view marker) {
  std::size_t pos = text.rfind(marker);
  while (pos != std::string_view::npos) {
    if (pos == 0 || text[pos - 1] == '\n') return pos;
    pos = text.rfind(marker, pos - 1);
  }
  return std::string_view::npos;
}

}  // namespace

PromptParts split_prompt(const std::vector<Message>& messages) {
  const Message* user = nullptr;
  const Message* system = nullptr;
  for (const Message& m : messages) {
    if (m.role == "user") user = &m;
    if (m.role == "system" && !system) system = &m;
  }
  if (!user && !messages.empty()) user = &messages.back();
  PromptParts parts;
  if (!user) return parts;
  const std::string_view text = user->content;
  const std::size_t question = last_line_marker(text, "Question:");
  if (question == std::string_view::npos) {
    parts.question = std::string(trim(text));
    if (system && system != user) parts.context = system->content;
    return parts;
  }
  std::string_view q = text.substr(question + std::string_view("Question:").size());
  if (const std::size_t answer = last_line_marker(q, "Answer:"); answer != std::string_view::npos) q = q.substr(0, answer);
  parts.question = std::string(trim(q));
  std::string_view context = trim(text.substr(0, question));
  if (context.substr(0, 8) == "Context:") context = trim(context.substr(8));
  parts.context = std::string(context);
  return parts;
}

ExtractiveLMInvoker::ExtractiveLMInvoker(ExtractiveOptions options) : options_(options) {
  vorn_inference::check_extractive_options(options_);
}

vorn_core::Task<LMOutputPtr> ExtractiveLMInvoker::invoke(std::vector<Message> messages, InvokeOptions options) {
  const PromptParts parts = split_prompt(messages);
  const ExtractiveAnswer answer = extract_answer(parts.question, parse_context_blocks(parts.context), options_);
  auto output = std::make_shared<LMOutput>(answer.text);
  output->metadata.set("model", model_name());
  vorn_core::List cited;
  for (const std::string& id : answer.cited_ids) cited.emplace_back(id);
  output->metadata.set("cited_ids", std::move(cited));
  // Nothing to stream: the whole answer is ready at once.
  if (options.on_text && !output->response.empty()) options.on_text(output->response);
  co_return output;
}

}  // namespace vorn_inference
