// Conversations in the OpenAI chat-completions form: which question a
// conversation asks now, and the completion objects (whole or as
// server-sent-event chunks) that carry the answer and its citations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "requests.hpp"
#include "vorn_inference/lm_invoker.hpp"

namespace vorn_serve {

struct AskResult;

// Whether a user turn precedes the last one.
bool has_earlier_user_turn(const std::vector<ChatMessage>& messages);

// The last user turn, followed by up to three earlier user turns (latest
// first) so that retrieval and extraction see what a follow-up refers to:
// "and how do I undo it?" after "How do I enable the cache?" is answered
// about the cache.
std::string offline_question(const std::vector<ChatMessage>& messages);

// Messages asking a model to restate the last user turn as a question that
// stands alone.
std::vector<vorn_inference::Message> rewrite_prompt(const std::vector<ChatMessage>& messages);

// The answer followed by a "Sources:" list, numbered as the citations are:
// what a chat client shows its user.
std::string answer_with_sources(const AskResult& result);

// Pieces of the answer to stream: a few words each, so that they join back
// into the exact text.
std::vector<std::string> stream_pieces(const std::string& text, std::size_t words_per_piece = 4);

struct CompletionIdentity {
  std::string id;     // "chatcmpl-..."
  std::string model;  // the strategy
  std::int64_t created = 0;
};

// `chat.completion` with one choice; `citations` (the cited chunks) is an
// extension field clients that know it can show as links.
nlohmann::json completion_json(const CompletionIdentity& identity, const AskResult& result);

// One `chat.completion.chunk` event line (`data: {...}\n\n`): the role on the
// first, text deltas, and a last one with finish_reason "stop" and the
// citations.
std::string chunk_event_role(const CompletionIdentity& identity);
std::string chunk_event_text(const CompletionIdentity& identity, const std::string& text);
std::string chunk_event_stop(const CompletionIdentity& identity, const AskResult& result);
// An error inside a stream: the status is sent already, so the error travels as an event.
std::string error_event(const std::string& error_json);
inline constexpr const char* kDoneEvent = "data: [DONE]\n\n";

}  // namespace vorn_serve
