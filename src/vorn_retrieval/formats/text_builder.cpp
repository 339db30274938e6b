#include "text_builder.hpp"

#include <algorithm>

namespace vorn_retrieval {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

void TextBuilder::inline_text(std::string_view text) {
  for (const char c : text) {
    if (is_space(c)) {
      pending_space_ = true;
      continue;
    }
    if (pending_marker_) {
      if (!out_.empty() && out_.back() != '\n') out_ += '\n';
      out_ += "- ";
      pending_marker_ = false;
    } else if (pending_space_ && !out_.empty() && out_.back() != '\n' && out_.back() != ' ') {
      out_ += ' ';
    }
    pending_space_ = false;
    out_ += c;
  }
}

void TextBuilder::raw_text(std::string_view text) {
  pending_space_ = false;
  if (!text.empty()) pending_marker_ = false;
  out_.append(text);
}

void TextBuilder::line_break() {
  pending_space_ = false;
  while (!out_.empty() && out_.back() == ' ') out_.pop_back();
  if (!out_.empty() && out_.back() != '\n') out_ += '\n';
}

void TextBuilder::paragraph_break() {
  pending_space_ = false;
  while (!out_.empty() && (out_.back() == ' ' || out_.back() == '\t')) out_.pop_back();
  if (out_.empty()) return;
  if (out_.back() != '\n') out_ += '\n';
  if (out_.size() < 2 || out_[out_.size() - 2] != '\n') out_ += '\n';
}

void TextBuilder::heading(int level, std::string_view text) {
  TextBuilder line;
  line.inline_text(text);
  const std::string title = line.take();
  if (title.empty()) return;
  pending_marker_ = false;
  paragraph_break();
  out_.append(static_cast<std::size_t>(std::clamp(level, 1, 6)), '#');
  out_ += ' ';
  out_ += title;
  paragraph_break();
}

void TextBuilder::list_item() { pending_marker_ = true; }

std::string TextBuilder::take() {
  while (!out_.empty() && is_space(out_.back())) out_.pop_back();
  std::string out = std::move(out_);
  out_.clear();
  pending_space_ = false;
  pending_marker_ = false;
  return out;
}

}  // namespace vorn_retrieval
