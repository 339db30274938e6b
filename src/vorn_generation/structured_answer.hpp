// Private to vorn_generation: reading the structured answer the LM-backed
// components ask for, with one error style for all of them.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "vorn_core/value.hpp"
#include "vorn_generation/prompt_builder.hpp"
#include "vorn_inference/lm_invoker.hpp"

namespace vorn_generation::detail {

// Raises `StructuredOutputError`: "<component> got an invalid answer from the
// model: <what>. ...".
[[noreturn]] void invalid_answer(std::string_view component, const std::string& what);

// The entry `field` of the model's structured answer; `StructuredOutputError`
// when there is no structured answer, it is not a JSON object or lacks the
// field.
const vorn_core::Value& structured_field(const vorn_inference::LMOutputPtr& output, std::string_view field,
                                         std::string_view component);

// Checks at construction that the templates use only `variables`, so a typo
// fails when the component is built rather than on the first query.
void check_templates(const PromptBuilder& builder, std::initializer_list<std::string_view> variables);

// `text` cut to at most `limit` bytes on a UTF-8 boundary, marked when cut;
// 0 means no limit.
std::string clip(const std::string& text, std::size_t limit);

}  // namespace vorn_generation::detail
