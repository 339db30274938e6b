#include "chat.hpp"

#include <cctype>

#include "responses.hpp"
#include "service.hpp"

namespace vorn_serve {
namespace {

constexpr std::size_t kEarlierTurns = 3;

bool has_text(const std::string& s) { return s.find_first_not_of(" \t\r\n") != std::string::npos; }

nlohmann::json chunk_base(const CompletionIdentity& identity) {
  return {{"id", identity.id},
          {"object", "chat.completion.chunk"},
          {"created", identity.created},
          {"model", identity.model}};
}

std::string event(const nlohmann::json& json) { return "data: " + dump(json) + "\n\n"; }

}  // namespace

bool has_earlier_user_turn(const std::vector<ChatMessage>& messages) {
  bool last_seen = false;
  for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
    if (it->role != "user" || !has_text(it->content)) continue;
    if (last_seen) return true;
    last_seen = true;
  }
  return false;
}

std::string offline_question(const std::vector<ChatMessage>& messages) {
  std::string question;
  std::size_t earlier = 0;
  for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
    if (it->role != "user" || !has_text(it->content)) continue;
    if (question.empty()) {
      question = it->content;
      continue;
    }
    if (question.size() + it->content.size() + 1 > kMaxQuestionBytes) break;
    question += "\n" + it->content;
    if (++earlier == kEarlierTurns) break;
  }
  return question;
}

std::vector<vorn_inference::Message> rewrite_prompt(const std::vector<ChatMessage>& messages) {
  std::string transcript;
  for (const auto& m : messages) {
    if ((m.role == "user" || m.role == "assistant") && has_text(m.content)) {
      transcript += m.role + ": " + m.content + "\n";
    }
  }
  return {{"system",
           "Rewrite the user's last message as one question that can be understood without the conversation. "
           "Keep its language and meaning; resolve words like 'it' or 'that' from earlier turns. Reply with the "
           "question only."},
          {"user", transcript}};
}

std::string answer_with_sources(const AskResult& result) {
  std::string text = result.answer;
  if (result.citations.empty()) return text;
  text += "\n\nSources:";
  for (std::size_t i = 0; i < result.citations.size(); ++i) {
    text += "\n[" + std::to_string(i + 1) + "] " + result.citations[i].source + " (" + result.citations[i].id + ")";
  }
  return text;
}

std::vector<std::string> stream_pieces(const std::string& text, std::size_t words_per_piece) {
  std::vector<std::string> pieces;
  std::string piece;
  std::size_t words = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    piece += text[i];
    const bool at_word_end = std::isspace(static_cast<unsigned char>(text[i])) &&
                             (i + 1 == text.size() || !std::isspace(static_cast<unsigned char>(text[i + 1])));
    if (at_word_end && ++words == words_per_piece) {
      pieces.push_back(std::move(piece));
      piece.clear();
      words = 0;
    }
  }
  if (!piece.empty()) pieces.push_back(std::move(piece));
  return pieces;
}

nlohmann::json completion_json(const CompletionIdentity& identity, const AskResult& result) {
  nlohmann::json citations = nlohmann::json::array();
  for (const auto& c : result.citations) citations.push_back(citation_json(c));
  const std::string content = answer_with_sources(result);
  return {{"id", identity.id},
          {"object", "chat.completion"},
          {"created", identity.created},
          {"model", identity.model},
          {"choices",
           {{{"index", 0}, {"message", {{"role", "assistant"}, {"content", content}}}, {"finish_reason", "stop"}}}},
          {"usage", {{"prompt_tokens", 0}, {"completion_tokens", 0}, {"total_tokens", 0}}},
          {"citations", std::move(citations)}};
}

std::string chunk_event_role(const CompletionIdentity& identity) {
  auto json = chunk_base(identity);
  json["choices"] = {{{"index", 0}, {"delta", {{"role", "assistant"}, {"content", ""}}}, {"finish_reason", nullptr}}};
  return event(json);
}

std::string chunk_event_text(const CompletionIdentity& identity, const std::string& text) {
  auto json = chunk_base(identity);
  json["choices"] = {{{"index", 0}, {"delta", {{"content", text}}}, {"finish_reason", nullptr}}};
  return event(json);
}

std::string chunk_event_stop(const CompletionIdentity& identity, const AskResult& result) {
  auto json = chunk_base(identity);
  json["choices"] = {{{"index", 0}, {"delta", nlohmann::json::object()}, {"finish_reason", "stop"}}};
  nlohmann::json citations = nlohmann::json::array();
  for (const auto& c : result.citations) citations.push_back(citation_json(c));
  json["citations"] = std::move(citations);
  return event(json);
}

std::string error_event(const std::string& error_json) { return "data: " + error_json + "\n\n"; }

}  // namespace vorn_serve
