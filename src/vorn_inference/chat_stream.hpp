// Private to vorn_inference: reading a streamed chat completion.
//
// `SseDecoder` cuts a server-sent event stream into events, whatever the
// piece boundaries; `ChatStreamReader` turns the events of a streamed chat
// completion (or a plain JSON completion from a server that ignored the
// request to stream) into text pieces for the caller and, at the end, the
// same `LMOutput` a plain call gives. Both only see bytes the body limit
// already bounded; neither recurses on its input.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vorn_inference/lm_invoker.hpp"

namespace vorn_inference::detail {

class OpenAITransport;

class SseDecoder {
 public:
  using OnEvent = std::function<void(std::string_view data)>;
  explicit SseDecoder(OnEvent on_event) : on_event_(std::move(on_event)) {}

  // Feeds the next bytes; calls `on_event` with the data of every event they
  // complete (several "data:" lines joined by "\n"; events without data are
  // skipped, as are comments and other fields).
  void feed(std::string_view bytes);
  // The stream ended: an event still open (no blank line after it) counts.
  void finish();

 private:
  void line(std::string_view text);
  void dispatch();

  OnEvent on_event_;
  std::string partial_line_;
  std::string data_;
  bool has_data_ = false;
  bool skip_lf_ = false;
};

class ChatStreamReader {
 public:
  // `on_text` receives each piece of the answer's text as it is decoded.
  ChatStreamReader(const OpenAITransport& transport, std::string requested_model, TextSink on_text);

  // Bytes of the body as they arrive. Throws `ModelResponseError` for an
  // event that is not a completion chunk or that reports an error.
  void feed(std::string_view bytes);
  // The whole answer once the body ended; throws `ModelResponseError` when
  // the stream ended before any choice or the end marker.
  LMOutputPtr finish();

 private:
  void event(std::string_view data);

  const OpenAITransport& transport_;
  std::string requested_model_;
  TextSink on_text_;
  SseDecoder decoder_;
  // A server that ignored "stream" sends one JSON body instead.
  std::optional<bool> plain_json_;
  std::string plain_body_;
  std::string text_;
  std::string model_;
  std::string id_;
  std::string finish_reason_;
  std::optional<nlohmann::json> usage_;
  bool saw_choice_ = false;
  bool done_ = false;
};

}  // namespace vorn_inference::detail
