#include "vorn_generation/prompt_builder.hpp"

#include "vorn_core/error.hpp"

namespace vorn_generation {

std::string fill_template(std::string_view text, const vorn_core::Dict& variables) {
  std::string out;
  out.reserve(text.size() + 64);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '{' && i + 1 < text.size() && text[i + 1] == '{') {
      out += '{';
      ++i;
    } else if (c == '}' && i + 1 < text.size() && text[i + 1] == '}') {
      out += '}';
      ++i;
    } else if (c == '{') {
      const auto close = text.find('}', i + 1);
      if (close == std::string_view::npos) {
        out += text.substr(i);  // a lone brace is text
        break;
      }
      const std::string_view name = text.substr(i + 1, close - i - 1);
      const vorn_core::Value* value = variables.find(name);
      if (!value) {
        throw vorn_core::UnknownKeyError("The prompt template needs `" + std::string(name) +
                                  "`, which was not given. Pass it and retry.");
      }
      out += value->str();
      i = close;
    } else {
      out += c;
    }
  }
  return out;
}

PromptBuilder::PromptBuilder(std::string system_template, std::string user_template)
    : system_template_(std::move(system_template)), user_template_(std::move(user_template)) {}

std::vector<vorn_inference::Message> PromptBuilder::format(const vorn_core::Dict& variables) const {
  std::vector<vorn_inference::Message> messages;
  if (!system_template_.empty()) messages.push_back({"system", fill_template(system_template_, variables)});
  messages.push_back({"user", fill_template(user_template_, variables)});
  return messages;
}

}  // namespace vorn_generation
