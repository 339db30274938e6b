#include "structured_answer.hpp"

#include "vorn_core/error.hpp"
#include "vorn_inference/errors.hpp"

namespace vorn_generation::detail {

void invalid_answer(std::string_view component, const std::string& what) {
  throw vorn_inference::StructuredOutputError(std::string(component) + " got an invalid answer from the model: " +
                                              what + ". Check the prompt and that the model supports structured "
                                              "output, then retry.");
}

const vorn_core::Value& structured_field(const vorn_inference::LMOutputPtr& output, std::string_view field,
                                         std::string_view component) {
  if (!output || output->structured_output.is_none()) {
    const std::string text = output ? clip(output->response, 200) : std::string();
    const std::string wrote = text.empty() ? std::string() : " (it wrote " + vorn_core::quote(text) + ")";
    invalid_answer(component, "no structured answer" + wrote);
  }
  const vorn_core::Value& answer = output->structured_output;
  if (!answer.is_dict()) invalid_answer(component, "a " + answer.type_name() + " where a JSON object was asked for");
  const vorn_core::Value* value = answer.as_dict().find(field);
  if (!value) invalid_answer(component, "an object without `" + std::string(field) + "`");
  return *value;
}

void check_templates(const PromptBuilder& builder, std::initializer_list<std::string_view> variables) {
  vorn_core::Dict sample;
  for (std::string_view name : variables) sample.set(name, "");
  // Throws KeyError naming the unknown placeholder.
  (void)builder.format(sample);
}

std::string clip(const std::string& text, std::size_t limit) {
  if (limit == 0 || text.size() <= limit) return text;
  std::size_t cut = limit;
  // Back up over continuation bytes so no character is split.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + " [...]";
}

}  // namespace vorn_generation::detail
