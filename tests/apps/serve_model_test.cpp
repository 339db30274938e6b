// `vorn-rag serve` in front of a model endpoint on loopback: the model's
// text reaches a streaming chat client as the model writes it, and a client
// that goes away ends the model call it was waiting for.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "keepalive_http_server.hpp"
#include "serve_fixture.hpp"

namespace {

using namespace vorn_serve_test;
using nlohmann::json;
using vorn_test::FakeReply;
using vorn_test::KeepAliveHttpServer;
using vorn_test::RecordedRequest;

std::string sse_delta(const std::string& text, const std::string& finish = "") {
  json choice = {{"index", 0}, {"delta", {{"content", text}}}};
  choice["finish_reason"] = finish.empty() ? json() : json(finish);
  return "data: " + json({{"id", "m1"}, {"choices", json::array({choice})}}).dump() + "\n\n";
}

class ServeModelTest : public ServeTest {
 protected:
  void use_model(const KeepAliveHttpServer& model) {
    ::setenv("VORN_SERVE_MODEL_TEST_KEY", "test-key", 1);
    model_.lm = "openai";
    model_.base_url = model.url("/v1");
    model_.api_key_env = "VORN_SERVE_MODEL_TEST_KEY";
    model_.timeout_seconds = 30;
  }
};

// Data lines of an event stream.
std::vector<std::string> sse_data(const std::string& stream) {
  std::vector<std::string> data;
  for (std::size_t at = stream.find("data: "); at != std::string::npos; at = stream.find("data: ", at + 1)) {
    data.push_back(stream.substr(at + 6, stream.find("\n\n", at) - at - 6));
  }
  return data;
}

TEST_F(ServeModelTest, StreamedChatCarriesTheModelsOwnPiecesThenTheSources) {
  const std::vector<std::string> pieces{"Unset", " VORN_FRAME_CACHE", " and restart."};
  KeepAliveHttpServer model([&](const RecordedRequest&) {
    return FakeReply{.content_type = "text/event-stream",
                     .pieces = {sse_delta(pieces[0]), sse_delta(pieces[1]), sse_delta(pieces[2], "stop") + "data: [DONE]\n\n"},
                     .piece_delay = std::chrono::milliseconds(20)};
  });
  use_model(model);
  start();
  auto reply = client().Post("/v1/chat/completions",
                             R"({"stream": true, "messages": [{"role": "user", "content": "How do I undo the frame cache?"}]})",
                             "application/json");
  ASSERT_TRUE(reply);
  auto events = sse_data(reply->body);
  ASSERT_GE(events.size(), 6u) << reply->body;
  std::vector<std::string> deltas;
  for (std::size_t i = 1; i + 2 < events.size(); ++i) {
    deltas.push_back(json::parse(events[i])["choices"][0]["delta"]["content"].get<std::string>());
  }
  ASSERT_GE(deltas.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(deltas.begin(), deltas.begin() + 3), pieces) << "the model's own pieces, in order";
  std::string rest;
  for (std::size_t i = 3; i < deltas.size(); ++i) rest += deltas[i];
  EXPECT_EQ(rest.rfind("\n\nSources:\n[1] ", 0), 0u) << rest;
  EXPECT_EQ(json::parse(events[events.size() - 2])["choices"][0]["finish_reason"], "stop");
  EXPECT_EQ(events.back(), "[DONE]");
  ASSERT_EQ(model.requests().size(), 1u);
  EXPECT_NE(model.requests()[0].body.find("\"stream\":true"), std::string::npos) << model.requests()[0].body;
}

struct LeavingCase {
  const char* name;
  const char* path;
  const char* body;
  bool wait_for_first_event;  // a streaming client reads the stream's start first
  // The model only reranks (the answer is extractive): its rerank call is
  // the one to end.
  bool rerank_only = false;
};

void PrintTo(const LeavingCase& c, std::ostream* os) { *os << c.name; }

class ClientLeaves : public ServeModelTest, public ::testing::WithParamInterface<LeavingCase> {};

TEST_P(ClientLeaves, TheModelCallItWaitedForEnds) {
  const LeavingCase& c = GetParam();
  // Ten seconds of answer unless someone stops it.
  KeepAliveHttpServer model([](const RecordedRequest& request) {
    if (request.body.find("\"stream\":true") == std::string::npos) {
      return FakeReply{.body = R"({"choices": [{"message": {"content": "late"}}]})",
                       .delay = std::chrono::milliseconds(10000)};
    }
    return FakeReply{.content_type = "text/event-stream",
                     .pieces = std::vector<std::string>(20, sse_delta("word ")),
                     .piece_delay = std::chrono::milliseconds(500)};
  });
  use_model(model);
  if (c.rerank_only) {
    model_.lm = "extractive";
    model_.reranker = "model";
    model_.reranker_model = "rerank-test";
    model_.reranker_url = model.url("/v1");
  }
  start();

  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string body = c.body;
  const std::string request = std::string("POST ") + c.path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                              "application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  if (c.wait_for_first_event) {
    std::string seen;
    char buf[4096];
    while (seen.find("data: ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      seen.append(buf, static_cast<std::size_t>(n));
    }
    ASSERT_NE(seen.find("data: "), std::string::npos) << seen;
  }
  while (model.requests().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(model.requests().size(), 1u) << "the model call started";
  EXPECT_EQ(model.requests()[0].target, c.rerank_only ? "/v1/rerank" : "/v1/chat/completions");
  ::close(fd);

  while (model.abandoned_requests() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(model.abandoned_requests(), 1) << "the model call outlived its client";
  // The server goes on answering others.
  auto health = client().Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, ClientLeaves,
    ::testing::Values(LeavingCase{"StreamedChat", "/v1/chat/completions",
                                  R"({"stream": true, "messages": [{"role": "user", "content": "frame cache?"}]})", true},
                      LeavingCase{"WholeChat", "/v1/chat/completions",
                                  R"({"messages": [{"role": "user", "content": "frame cache?"}]})", false},
                      LeavingCase{"Ask", "/v1/ask", R"({"question": "frame cache?"})", false},
                      LeavingCase{"RerankedAsk", "/v1/ask", R"({"question": "frame cache?"})", false, true},
                      LeavingCase{"RerankedWholeChat", "/v1/chat/completions",
                                  R"({"messages": [{"role": "user", "content": "frame cache?"}]})", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
