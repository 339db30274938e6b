// Prompt templates with `{name}` placeholders.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vorn_core/object.hpp"
#include "vorn_core/value.hpp"
#include "vorn_inference/lm_invoker.hpp"

namespace vorn_generation {

class PromptBuilder : public vorn_core::Object {
 public:
  PromptBuilder(std::string system_template, std::string user_template);

  const std::string& system_template() const noexcept { return system_template_; }
  const std::string& user_template() const noexcept { return user_template_; }

  // Fills every `{name}` with the text form of `variables[name]`; `{{` and
  // `}}` stand for literal braces. Values are inserted once, never
  // re-expanded, so braces inside a question or a chunk are safe. A
  // placeholder without a variable throws `KeyError`. An empty system
  // template gives no system message.
  std::vector<vorn_inference::Message> format(const vorn_core::Dict& variables) const;

  std::string type_name() const override { return "PromptBuilder"; }

 private:
  std::string system_template_;
  std::string user_template_;
};
using PromptBuilderPtr = std::shared_ptr<PromptBuilder>;

// Fills one template (see `PromptBuilder::format`).
std::string fill_template(std::string_view text, const vorn_core::Dict& variables);

}  // namespace vorn_generation
