// `vorn-rag serve` over real loopback connections: each route, streaming,
// conversations, auth, CORS, limits, overload and shutdown.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <future>
#include <thread>

#include "loopback_http_server.hpp"
#include "serve_fixture.hpp"

namespace {

using namespace vorn_serve_test;
using nlohmann::json;

constexpr const char* kJson = "application/json";

TEST_F(ServeTest, RoutesAnswerWithTheirJson) {
  start();
  auto c = client();
  auto health = json_of(c.Get("/healthz"));
  EXPECT_EQ(health["status"], "ok");
  EXPECT_GE(health["chunks"].get<int>(), 3);

  auto models = json_of(c.Get("/v1/models"));
  ASSERT_EQ(models["object"], "list");
  EXPECT_EQ(models["data"].size(), 5u);
  EXPECT_EQ(models["data"][0]["id"], "naive");

  auto sources = json_of(c.Get("/v1/sources"));
  ASSERT_EQ(sources["sources"].size(), 3u);
  EXPECT_NE(sources["sources"][0]["name"].get<std::string>().find("cache.md"), std::string::npos);
  EXPECT_EQ(sources["sources"][0]["chunks"], 1);
  EXPECT_EQ(sources["chunks"], 3);

  auto ask = json_of(c.Post("/v1/ask", R"({"question": "How does reciprocal rank fusion score a chunk?", "top_k": 2,
                                          "trace": true})", kJson));
  EXPECT_NE(ask["answer"].get<std::string>().find("60 + rank"), std::string::npos) << ask.dump();
  ASSERT_FALSE(ask["citations"].empty());
  const auto& cited = ask["citations"][0];
  EXPECT_NE(cited["source"].get<std::string>().find("fusion.md"), std::string::npos);
  EXPECT_NE(cited["text"].get<std::string>().find("Reciprocal rank fusion"), std::string::npos);
  EXPECT_TRUE(cited["id"].is_string());
  EXPECT_TRUE(cited["score"].is_number());
  ASSERT_TRUE(ask["trace"].is_array());
  EXPECT_FALSE(ask["trace"].empty());

  auto search = json_of(c.Post("/v1/search", R"({"query": "git revert", "retriever": "bm25", "top_k": 1})", kJson));
  ASSERT_EQ(search["results"].size(), 1u);
  EXPECT_NE(search["results"][0]["source"].get<std::string>().find("commits.md"), std::string::npos);

  auto filtered = json_of(c.Post("/v1/search", R"({"query": "undo", "filter": {"source": "nowhere.md"}})", kJson));
  EXPECT_TRUE(filtered["results"].empty()) << filtered.dump();

  auto page = c.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->body.find("id=\"ask-form\""), std::string::npos);

  // A request is counted once its response has been written, which can be a
  // moment after the client has read it: scrape until the books are closed.
  const std::string expected[] = {"vorn_http_requests_total{route=\"/v1/ask\",code=\"2xx\"} 1",
                                  "vorn_http_request_duration_seconds_count{route=\"/v1/search\"} 2",
                                  "vorn_http_in_flight 1"};  // the scrape itself is in flight
  std::string body;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto metrics = c.Get("/metrics");
    ASSERT_TRUE(metrics);
    body = metrics->body;
    bool all = true;
    for (const auto& line : expected) all = all && body.find(line) != std::string::npos;
    if (all) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (const auto& line : expected) EXPECT_NE(body.find(line), std::string::npos) << line << "\n" << body;
}

struct BadRequest {
  const char* name;
  const char* method;
  const char* path;
  std::string body;
  int status;
  const char* code;
};

// Names the case in test output instead of dumping the struct's bytes.
void PrintTo(const BadRequest& bad, std::ostream* os) { *os << bad.name; }

class BadRequests : public ServeTest, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(BadRequests, AreRefusedWithAJsonError) {
  const BadRequest& bad = GetParam();
  start();
  auto c = client();
  auto r = std::string(bad.method) == "GET" ? c.Get(bad.path) : c.Post(bad.path, bad.body, kJson);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, bad.status) << r->body;
  auto body = json::parse(r->body, nullptr, false);
  ASSERT_TRUE(body.is_object()) << r->body;
  EXPECT_EQ(body["error"]["code"], bad.code) << r->body;
  EXPECT_FALSE(body["error"]["message"].get<std::string>().empty());
  // The server is still there and well.
  EXPECT_EQ(c.Get("/healthz")->status, 200);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadRequests,
    ::testing::Values(
        BadRequest{"MalformedJson", "POST", "/v1/ask", R"({"question": )", 400, "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"NotAnObject", "POST", "/v1/ask", R"(["question"])", 400, "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"InvalidUtf8", "POST", "/v1/ask", "{\"question\": \"\xff\xfe\"}", 400, "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"QuestionNotText", "POST", "/v1/ask", R"({"question": 5})", 400, "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"BlankQuestion", "POST", "/v1/ask", R"({"question": "  "})", 400, "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"TopKZero", "POST", "/v1/ask", R"({"question": "q", "top_k": 0})", 400, "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"TopKHuge", "POST", "/v1/ask", R"({"question": "q", "top_k": 1e30})", 400, "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"TopKFraction", "POST", "/v1/ask", R"({"question": "q", "top_k": 2.5})", 400,
                   "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"UnknownStrategy", "POST", "/v1/ask", R"({"question": "q", "strategy": "magic"})", 400,
                   "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"FilterNotObject", "POST", "/v1/search", R"({"query": "q", "filter": [1]})", 400,
                   "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"FilterNested", "POST", "/v1/search", R"({"query": "q", "filter": {"a": {"b": 1}}})", 400,
                   "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"ChatNoMessages", "POST", "/v1/chat/completions", R"({"model": "naive"})", 400,
                   "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"ChatNoUserTurn", "POST", "/v1/chat/completions",
                   R"({"messages": [{"role": "system", "content": "be brief"}]})", 400, "VORN-SERVE-BAD-REQUEST"},
        BadRequest{"UnknownRoute", "GET", "/v2/everything", "", 404, "VORN-SERVE-NOT-FOUND"},
        BadRequest{"HugeBody", "POST", "/v1/ask", std::string(2 << 20, 'x'), 413, "VORN-SERVE-TOO-LARGE"}),
    [](const auto& info) { return std::string(info.param.name); });

// The data lines of a server-sent-event stream.
std::vector<std::string> sse_data(const std::string& stream) {
  std::vector<std::string> data;
  std::size_t at = 0;
  while ((at = stream.find("data: ", at)) != std::string::npos) {
    const std::size_t end = stream.find("\n\n", at);
    data.push_back(stream.substr(at + 6, end - at - 6));
    at = end;
  }
  return data;
}

TEST_F(ServeTest, ChatCompletionsWholeAndStreamedCarryTheSameAnswer) {
  start();
  auto c = client();
  const std::string question = R"({"role": "user", "content": "How does reciprocal rank fusion score a chunk?"})";
  auto whole = json_of(c.Post("/v1/chat/completions", R"({"model": "vorn-rag", "messages": [)" + question + "]}", kJson));
  ASSERT_EQ(whole["object"], "chat.completion") << whole.dump();
  EXPECT_EQ(whole["model"], "naive");
  const std::string content = whole["choices"][0]["message"]["content"];
  EXPECT_EQ(whole["choices"][0]["finish_reason"], "stop");
  EXPECT_NE(content.find("60 + rank"), std::string::npos);
  EXPECT_NE(content.find("\n\nSources:\n[1] "), std::string::npos) << "citations a chat client shows: " << content;
  EXPECT_FALSE(whole["citations"].empty());

  auto streamed = c.Post("/v1/chat/completions", R"({"model": "naive", "stream": true, "messages": [)" + question + "]}",
                         kJson);
  ASSERT_TRUE(streamed);
  EXPECT_EQ(streamed->get_header_value("Content-Type"), "text/event-stream");
  auto events = sse_data(streamed->body);
  ASSERT_GE(events.size(), 4u) << streamed->body;
  EXPECT_EQ(events.back(), "[DONE]");
  EXPECT_EQ(json::parse(events[0])["choices"][0]["delta"]["role"], "assistant");
  std::string joined;
  for (std::size_t i = 1; i + 2 < events.size(); ++i) {
    auto e = json::parse(events[i]);
    EXPECT_EQ(e["object"], "chat.completion.chunk");
    joined += e["choices"][0]["delta"]["content"].get<std::string>();
  }
  EXPECT_EQ(joined, content);
  auto stop = json::parse(events[events.size() - 2]);
  EXPECT_EQ(stop["choices"][0]["finish_reason"], "stop");
  EXPECT_EQ(stop["citations"], whole["citations"]);
}

TEST_F(ServeTest, FollowUpIsAnsweredInTheLightOfEarlierTurns) {
  start();
  auto c = client();
  auto top_source = [&](const std::string& messages) {
    auto r = json_of(c.Post("/v1/chat/completions", R"({"top_k": 1, "messages": )" + messages + "}", kJson));
    return r["citations"][0]["source"].get<std::string>();
  };
  const std::string alone = top_source(R"([{"role": "user", "content": "and how do I undo it?"}])");
  const std::string follow_up = top_source(R"([
      {"role": "user", "content": "How do I enable the frame cache?"},
      {"role": "assistant", "content": "Set VORN_FRAME_CACHE=1 before start."},
      {"role": "user", "content": "and how do I undo it?"}])");
  EXPECT_NE(follow_up.find("cache.md"), std::string::npos) << "alone it found " << alone;
}

std::string model_reply(const std::string& content) {
  return json({{"choices", {{{"message", {{"role", "assistant"}, {"content", content}}}, {"finish_reason", "stop"}}}}})
      .dump();
}

TEST_F(ServeTest, WithAModelAFollowUpIsRewrittenIntoAStandaloneQuestion) {
  vorn_test::LoopbackHttpServer model({{.body = model_reply("How do I undo the frame cache setting?")},
                                       {.body = model_reply("Unset VORN_FRAME_CACHE and restart.")}});
  ::setenv("VORN_SERVE_TEST_KEY", "test-key", 1);
  model_.lm = "openai";
  model_.base_url = model.url("/v1");
  model_.api_key_env = "VORN_SERVE_TEST_KEY";
  model_.timeout_seconds = 10;
  start();
  auto reply = json_of(client().Post("/v1/chat/completions", R"({"messages": [
      {"role": "user", "content": "How do I enable the frame cache?"},
      {"role": "assistant", "content": "Set VORN_FRAME_CACHE=1 before start."},
      {"role": "user", "content": "and how do I undo it?"}]})", kJson));
  const std::string content = reply["choices"][0]["message"]["content"];
  EXPECT_EQ(content.rfind("Unset VORN_FRAME_CACHE and restart.", 0), 0u) << reply.dump();
  auto sent = model.requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_NE(sent[0].body.find("user: How do I enable the frame cache?"), std::string::npos) << sent[0].body;
  EXPECT_NE(sent[0].body.find("user: and how do I undo it?"), std::string::npos);
  EXPECT_NE(sent[1].body.find("How do I undo the frame cache setting?"), std::string::npos)
      << "the answer is asked for the rewritten question: " << sent[1].body;
}

TEST_F(ServeTest, TokenGuardsEveryRouteButThePageAndHealth) {
  vorn_serve::HttpOptions http;
  http.token = "s3cret";
  start(http);
  auto c = client();
  auto refused = c.Post("/v1/ask", R"({"question": "fusion"})", kJson);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);
  EXPECT_EQ(refused->get_header_value("WWW-Authenticate"), "Bearer");
  EXPECT_EQ(json::parse(refused->body)["error"]["code"], "VORN-SERVE-UNAUTHORIZED");
  EXPECT_EQ(client().Get("/metrics", {{"Authorization", "Bearer s3cre7"}})->status, 401);
  EXPECT_EQ(client().Get("/v1/models", {{"Authorization", "s3cret"}})->status, 401);
  EXPECT_EQ(client().Get("/healthz")->status, 200);
  EXPECT_EQ(client().Get("/")->status, 200);
  auto allowed = client().Post("/v1/ask", {{"Authorization", "Bearer s3cret"}}, R"({"question": "fusion"})", kJson);
  ASSERT_TRUE(allowed);
  EXPECT_EQ(allowed->status, 200) << allowed->body;
}

TEST_F(ServeTest, CorsAnswersPreflightsForAllowedOriginsOnly) {
  vorn_serve::HttpOptions http;
  http.cors_origins = {"http://chat.example"};
  http.token = "t";
  start(http);
  auto c = client();
  auto preflight = c.Options("/v1/chat/completions", {{"Origin", "http://chat.example"},
                                                      {"Access-Control-Request-Method", "POST"}});
  ASSERT_TRUE(preflight);
  EXPECT_EQ(preflight->status, 204) << "preflights carry no token";
  EXPECT_EQ(preflight->get_header_value("Access-Control-Allow-Origin"), "http://chat.example");
  EXPECT_NE(preflight->get_header_value("Access-Control-Allow-Headers").find("Authorization"), std::string::npos);
  auto other = c.Options("/v1/chat/completions", {{"Origin", "http://evil.example"}});
  ASSERT_TRUE(other);
  EXPECT_FALSE(other->has_header("Access-Control-Allow-Origin"));
  auto get = c.Get("/v1/models", {{"Origin", "http://chat.example"}, {"Authorization", "Bearer t"}});
  ASSERT_TRUE(get);
  EXPECT_EQ(get->get_header_value("Access-Control-Allow-Origin"), "http://chat.example");
}

// Occupies the engine's only worker until released.
class Blocker {
 public:
  explicit Blocker(vorn_serve::Engine& engine) {
    auto released = released_.get_future().share();
    auto started = std::make_shared<std::promise<void>>();
    auto running = started->get_future();
    EXPECT_TRUE(engine.try_submit([released, started]() -> vorn_core::Task<void> {
      started->set_value();
      released.wait();
      co_return;
    }));
    running.wait();
  }
  ~Blocker() { release(); }
  void release() {
    if (!done_) released_.set_value();
    done_ = true;
  }

 private:
  std::promise<void> released_;
  bool done_ = false;
};

TEST_F(ServeTest, FullQueueAnswers503WithRetryAfter) {
  vorn_serve::EngineOptions engine;
  engine.workers = 1;
  engine.queue_capacity = 1;
  engine.jobs_per_worker = 1;
  start({}, engine);
  Blocker blocker(*engine_);
  auto queued = std::async(std::launch::async, [&] { return client().Post("/v1/ask", R"({"question": "fusion"})", kJson); });
  while (engine_->queued() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto refused = client().Post("/v1/ask", R"({"question": "fusion"})", kJson);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  EXPECT_EQ(refused->get_header_value("Retry-After"), "1");
  EXPECT_EQ(json::parse(refused->body)["error"]["code"], "VORN-SERVE-OVERLOADED");
  blocker.release();
  auto answered = queued.get();
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 200);
}

TEST_F(ServeTest, ShutdownFinishesRequestsInFlightAndRefusesNewOnes) {
  vorn_serve::EngineOptions engine;
  engine.workers = 1;
  start({}, engine);
  Blocker blocker(*engine_);
  auto in_flight = std::async(std::launch::async, [&] { return client().Post("/v1/ask", R"({"question": "fusion"})", kJson); });
  while (engine_->queued() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  server_->shutdown();
  auto late = client().Get("/healthz");
  EXPECT_TRUE(!late || late->status == 503) << "new requests are refused";
  blocker.release();
  auto answered = in_flight.get();
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 200);
  EXPECT_NE(answered->body.find("citations"), std::string::npos);
  thread_.join();  // serve() returns once the in-flight request is answered
  engine_->stop();
  server_.reset();
}

int connect_loopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

TEST_F(ServeTest, SlowSenderIsCutOffAtTheRequestDeadline) {
  vorn_serve::HttpOptions http;
  http.request_deadline = std::chrono::milliseconds(300);
  start(http);
  int fd = connect_loopback(port_);
  const std::string head = "POST /v1/ask HTTP/1.1\r\nHost: x\r\nX-Slow: ";
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  const auto start_time = std::chrono::steady_clock::now();
  std::string reply;
  char buf[512];
  // A byte every 50 ms keeps each read under any per-read timeout.
  while (std::chrono::steady_clock::now() - start_time < std::chrono::seconds(5)) {
    ::send(fd, "a", 1, MSG_NOSIGNAL);
    timeval tv{0, 50'000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) break;
    if (n > 0) reply.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  EXPECT_LT(std::chrono::steady_clock::now() - start_time, std::chrono::seconds(3));
  EXPECT_NE(reply.find("VORN-SERVE-TIMEOUT"), std::string::npos) << reply;
  EXPECT_EQ(client().Get("/healthz")->status, 200);
}

// Reads from `fd` until `wanted` appears or two seconds pass.
std::string read_until(int fd, const std::string& wanted) {
  std::string got;
  char buf[4096];
  timeval tv{0, 100'000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (got.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < until) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) break;
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

TEST_F(ServeTest, ClientsWaitingForContinueGetItBeforeSendingTheBody) {
  start();
  int fd = connect_loopback(port_);
  const std::string body = R"({"question": "fusion"})";
  const std::string head = "POST /v1/ask HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nExpect: 100-continue\r\n"
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  const std::string interim = read_until(fd, "\r\n\r\n");
  EXPECT_EQ(interim.rfind("HTTP/1.1 100", 0), 0u) << interim;
  ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
  const std::string reply = read_until(fd, "\"strategy\"");
  ::close(fd);
  EXPECT_NE(reply.find("HTTP/1.1 200"), std::string::npos) << reply;
}

TEST_F(ServeTest, TooManyHeadersAreRefused) {
  start();
  std::string request = "GET /healthz HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; i < 2000; ++i) request += "X-Filler-" + std::to_string(i) + ": aaaaaaaaaaaaaaaa\r\n";
  request += "\r\n";
  int fd = connect_loopback(port_);
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char buf[512];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.1 431", 0), 0u) << reply;
  EXPECT_NE(reply.find("VORN-SERVE-HEADERS-TOO-LARGE"), std::string::npos);
}

TEST_F(ServeTest, ChunksIndexedLaterAreFoundByNewRequests) {
  start();
  std::ofstream(dir_ / "docs" / "late.md") << "# Lighthouses\n\nThe lighthouse keeper trims the lamp wick at dusk.\n";
  ASSERT_EQ(run_cli({"vorn-rag", "--store", index_.string(), "index", "--no-progress", (dir_ / "docs").string()}), 0);
  auto found = json_of(client().Post("/v1/search", R"({"query": "lighthouse keeper lamp", "retriever": "vector",
                                                       "top_k": 1})", kJson));
  ASSERT_EQ(found["results"].size(), 1u);
  EXPECT_NE(found["results"][0]["source"].get<std::string>().find("late.md"), std::string::npos) << found.dump();
}

// Where a request is cut in two, sent a moment apart: in its request line,
// in its headers, between head and body, in its body.
class SplitRequest : public ServeTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(SplitRequest, IsAnsweredOnceAsIfSentWhole) {
  start();
  const std::string body = R"({"question": "fusion"})";
  const std::string request = "POST /v1/ask HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  const std::size_t cut = GetParam() < request.size() ? GetParam() : request.size() - 4;
  int fd = connect_loopback(port_);
  ::send(fd, request.data(), cut, MSG_NOSIGNAL);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::send(fd, request.data() + cut, request.size() - cut, MSG_NOSIGNAL);
  const std::string reply = read_until(fd, "\"strategy\"");
  ::close(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
  EXPECT_NE(reply.find("\"citations\""), std::string::npos) << reply;
  // Read twice, counted once; nothing left in flight but the scrape itself.
  const std::string metrics = client().Get("/metrics")->body;
  EXPECT_NE(metrics.find("vorn_http_requests_total{route=\"/v1/ask\",code=\"2xx\"} 1\n"), std::string::npos) << metrics;
  EXPECT_EQ(metrics.find("route=\"/v1/ask\",code=\"4xx\""), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("vorn_http_in_flight 1\n"), std::string::npos) << metrics;
}

INSTANTIATE_TEST_SUITE_P(Cuts, SplitRequest, ::testing::Values(6, 30, 90, 1000));

TEST_F(ServeTest, RequestsSentTogetherAreAnsweredInOrder) {
  start();
  const std::string body = R"({"query": "git revert", "top_k": 1})";
  const std::string requests = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"
                               "POST /v1/search HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body +
                               "GET /v1/models HTTP/1.1\r\nHost: x\r\n\r\n";
  int fd = connect_loopback(port_);
  ::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL);
  const std::string replies = read_until(fd, "\"object\":\"list\"");
  ::close(fd);
  const auto health = replies.find("\"status\""), search = replies.find("\"results\""),
             models = replies.find("\"object\":\"list\"");
  ASSERT_NE(models, std::string::npos) << replies;
  EXPECT_LT(health, search) << replies;
  EXPECT_LT(search, models) << replies;
}

}  // namespace
