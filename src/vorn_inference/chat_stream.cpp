#include "chat_stream.hpp"

#include <cctype>

#include "vorn_inference/errors.hpp"
#include "openai_replies.hpp"
#include "openai_transport.hpp"

namespace vorn_inference::detail {
namespace {

using nlohmann::json;
constexpr std::string_view kPath = "/chat/completions";

std::string string_field(const json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

// ---- SseDecoder -------------------------------------------------------------------

void SseDecoder::feed(std::string_view bytes) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c != '\r' && c != '\n') {
      skip_lf_ = false;
      continue;
    }
    // "\r\n" is one line end; its "\n" may arrive in the next piece.
    if (c == '\n' && skip_lf_) {
      skip_lf_ = false;
      start = i + 1;
      continue;
    }
    skip_lf_ = c == '\r';
    partial_line_.append(bytes.substr(start, i - start));
    line(partial_line_);
    partial_line_.clear();
    start = i + 1;
  }
  partial_line_.append(bytes.substr(start));
}

void SseDecoder::finish() {
  if (!partial_line_.empty()) {
    line(partial_line_);
    partial_line_.clear();
  }
  dispatch();
}

void SseDecoder::line(std::string_view text) {
  if (text.empty()) {
    dispatch();
    return;
  }
  if (text.front() == ':') return;  // a comment (keep-alive)
  const auto colon = text.find(':');
  const std::string_view field = text.substr(0, colon);
  std::string_view value = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
  if (value.starts_with(' ')) value.remove_prefix(1);
  if (field != "data") return;
  if (has_data_) data_ += '\n';
  data_.append(value);
  has_data_ = true;
}

void SseDecoder::dispatch() {
  if (!has_data_) return;
  std::string data = std::move(data_);
  data_.clear();
  has_data_ = false;
  on_event_(data);
}

// ---- ChatStreamReader -------------------------------------------------------------

ChatStreamReader::ChatStreamReader(const OpenAITransport& transport, std::string requested_model, TextSink on_text)
    : transport_(transport),
      requested_model_(std::move(requested_model)),
      on_text_(std::move(on_text)),
      decoder_([this](std::string_view data) { event(data); }) {}

void ChatStreamReader::feed(std::string_view bytes) {
  if (!plain_json_) {
    const auto first = bytes.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
      plain_body_.append(bytes);  // only whitespace so far: undecided
      return;
    }
    plain_json_ = bytes[first] == '{';
    if (!*plain_json_) {
      decoder_.feed(plain_body_);
      plain_body_.clear();
    }
  }
  if (*plain_json_) {
    plain_body_.append(bytes);
  } else {
    decoder_.feed(bytes);
  }
}

void ChatStreamReader::event(std::string_view data) {
  if (done_) return;
  if (data == "[DONE]") {
    done_ = true;
    return;
  }
  const std::string safe_url = transport_.safe_url(kPath);
  const json chunk = json::parse(data, nullptr, false);
  if (chunk.is_discarded() || !chunk.is_object()) {
    throw ModelResponseError("The model endpoint " + safe_url + " streamed an event that is not a JSON object: " +
                             excerpt(transport_.api_key(), data) +
                             ". Check that it speaks the chat completions API, then retry.");
  }
  if (const auto error = chunk.find("error"); error != chunk.end() && !error->is_null()) {
    const std::string message = error->is_object() ? string_field(*error, "message") : error->dump();
    throw ModelResponseError("The model endpoint " + safe_url + " reported an error in its stream: " +
                             excerpt(transport_.api_key(), message) + ". Check the request and the endpoint, then retry.");
  }
  if (model_.empty()) model_ = string_field(chunk, "model");
  if (id_.empty()) id_ = string_field(chunk, "id");
  if (const auto usage = chunk.find("usage"); usage != chunk.end() && usage->is_object()) usage_ = *usage;
  const auto choices = chunk.find("choices");
  if (choices == chunk.end() || !choices->is_array() || choices->empty()) return;
  const json& choice = (*choices)[0];
  if (!choice.is_object()) return;
  saw_choice_ = true;
  if (const std::string reason = string_field(choice, "finish_reason"); !reason.empty()) finish_reason_ = reason;
  const auto delta = choice.find("delta");
  if (delta == choice.end() || !delta->is_object()) return;
  const std::string refusal = string_field(*delta, "refusal");
  if (!refusal.empty()) {
    throw ModelResponseError("The model refused to answer: " + excerpt(transport_.api_key(), refusal) +
                             ". Rephrase the request or use another model, then retry.");
  }
  const std::string piece = string_field(*delta, "content");
  if (piece.empty()) return;
  text_ += piece;
  if (on_text_) on_text_(piece);
}

LMOutputPtr ChatStreamReader::finish() {
  if (plain_json_.value_or(true)) {
    // The server answered the whole completion at once.
    const std::string safe_url = transport_.safe_url(kPath);
    const json reply = json::parse(plain_body_, nullptr, false);
    if (reply.is_discarded()) {
      throw ModelResponseError("The model endpoint " + safe_url + " answered a body that is neither an event stream "
                               "nor JSON: " + excerpt(transport_.api_key(), plain_body_) +
                               ". Check that it speaks the chat completions API, then retry.");
    }
    LMOutputPtr output = parse_chat_reply(reply, false, transport_, requested_model_);
    if (on_text_ && !output->response.empty()) on_text_(output->response);
    return output;
  }
  decoder_.finish();
  if (!saw_choice_ && !done_) {
    throw ModelResponseError("The model endpoint " + transport_.safe_url(kPath) +
                             " ended its stream without any answer. Check the endpoint, then retry.");
  }
  auto output = std::make_shared<LMOutput>(std::move(text_));
  output->metadata.set("model", model_.empty() ? requested_model_ : model_);
  if (!id_.empty()) output->metadata.set("id", id_);
  output->metadata.set("finish_reason", finish_reason_.empty() ? vorn_core::Value() : vorn_core::Value(finish_reason_));
  if (usage_) {
    if (auto value = bounded_value_from_json(*usage_)) output->metadata.set("usage", std::move(*value));
  }
  return output;
}

}  // namespace vorn_inference::detail
