// Model calls never block the event loop: overlapping calls, connection
// reuse, the per-endpoint in-flight limit, the whole-call deadline and
// cancellation, against a concurrent keep-alive server on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "keepalive_http_server.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_inference/errors.hpp"
#include "vorn_inference/http_client.hpp"
#include "vorn_inference/openai_lm_invoker.hpp"

using namespace std::chrono_literals;
using vorn_inference::LMOutputPtr;
using vorn_inference::OpenAILMInvoker;
using vorn_inference::OpenAILMInvokerOptions;
using vorn_test::FakeReply;
using vorn_test::KeepAliveHttpServer;
using vorn_test::RecordedRequest;

namespace {

std::string chat_reply(const std::string& content) {
  nlohmann::json reply = {
      {"id", "c"},
      {"model", "fake"},
      {"choices", {{{"index", 0}, {"message", {{"role", "assistant"}, {"content", content}}}, {"finish_reason", "stop"}}}}};
  return reply.dump();
}

// Answers every chat request with its own user message, after `delay`.
KeepAliveHttpServer::Handler echo_after(std::chrono::milliseconds delay) {
  return [delay](const RecordedRequest& request) {
    const auto body = nlohmann::json::parse(request.body);
    return FakeReply{.body = chat_reply(body["messages"].back()["content"].get<std::string>()), .delay = delay};
  };
}

std::shared_ptr<OpenAILMInvoker> invoker_for(const KeepAliveHttpServer& server, std::size_t in_flight = 16,
                                             int retries = 0) {
  OpenAILMInvokerOptions options;
  options.model = "m";
  options.endpoint.base_url = server.base_url();
  options.endpoint.api_key_required = false;
  options.endpoint.retry.max_retries = retries;
  options.endpoint.retry.initial_backoff = 50ms;
  options.endpoint.retry.max_backoff = 50ms;
  options.endpoint.http.connect_timeout = 2s;
  options.endpoint.http.total_timeout = 10s;
  options.endpoint.http.max_in_flight_per_endpoint = in_flight;
  return std::make_shared<OpenAILMInvoker>(std::move(options));
}

vorn_core::Task<LMOutputPtr> ask(std::shared_ptr<OpenAILMInvoker> lm, std::string text,
                                 vorn_inference::InvokeOptions options = {}) {
  // Built by statements: g++ 12 mishandles braced temporaries in a co_await operand.
  std::vector<vorn_inference::Message> messages;
  messages.push_back(vorn_inference::Message{"user", std::move(text)});
  co_return co_await lm->invoke(std::move(messages), std::move(options));
}

std::vector<std::string> ask_all(const std::shared_ptr<OpenAILMInvoker>& lm, int count) {
  std::vector<vorn_core::Task<LMOutputPtr>> calls;
  for (int i = 0; i < count; ++i) calls.push_back(ask(lm, "q" + std::to_string(i)));
  std::vector<std::string> answers;
  for (const auto& out : vorn_core::run_sync(vorn_core::when_all(std::move(calls)))) answers.push_back(out->response);
  return answers;
}

// Polls a condition the server reaches shortly after the client acts.
template <class F>
bool eventually(F condition) {
  for (int i = 0; i < 200 && !condition(); ++i) std::this_thread::sleep_for(10ms);
  return condition();
}

TEST(ModelIoTest, CallsStartedTogetherAreOnTheWireTogether) {
  KeepAliveHttpServer server(echo_after(300ms));
  const auto answers = ask_all(invoker_for(server), 8);
  ASSERT_EQ(answers.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(answers[i], "q" + std::to_string(i));  // each answer to its own call
  EXPECT_EQ(server.max_concurrent_requests(), 8);
}

TEST(ModelIoTest, SequentialCallsReuseOneConnection) {
  KeepAliveHttpServer server(echo_after(0ms));
  auto lm = invoker_for(server);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(vorn_core::run_sync(ask(lm, "n"))->response, "n");
  EXPECT_EQ(server.requests().size(), 20u);
  EXPECT_LE(server.connections_opened(), 2);
}

TEST(ModelIoTest, InFlightLimitPerEndpointQueuesTheRest) {
  KeepAliveHttpServer server(echo_after(100ms));
  const auto answers = ask_all(invoker_for(server, /*in_flight=*/3), 12);
  EXPECT_EQ(answers.size(), 12u);
  EXPECT_EQ(server.requests().size(), 12u);
  EXPECT_EQ(server.max_concurrent_requests(), 3);
  EXPECT_LE(server.connections_opened(), 3);
}

TEST(ModelIoTest, DeadlineBoundsTheWholeCallAcrossRetries) {
  // Every attempt is slow and ends in 503: only the deadline stops the retries.
  KeepAliveHttpServer server([](const RecordedRequest&) { return FakeReply{.status = 503, .delay = 150ms}; });
  auto lm = invoker_for(server, 16, /*retries=*/50);
  vorn_inference::InvokeOptions options;
  options.deadline = std::chrono::steady_clock::now() + 600ms;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(vorn_core::run_sync(ask(lm, "q", options)), vorn_inference::ModelTimeoutError);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 400ms);
  EXPECT_LT(took, 3s);
  EXPECT_GE(server.requests().size(), 2u);
  EXPECT_LE(server.requests().size(), 4u);
}

TEST(ModelIoTest, EndpointCallTimeoutAlsoCutsASlowAttempt) {
  KeepAliveHttpServer server(echo_after(5s));
  OpenAILMInvokerOptions options = invoker_for(server)->options();
  options.endpoint.call_timeout = 200ms;
  options.endpoint.retry.max_retries = 3;
  auto lm = std::make_shared<OpenAILMInvoker>(options);
  try {
    vorn_core::run_sync(ask(lm, "q"));
    FAIL() << "expected a timeout";
  } catch (const vorn_inference::ModelTimeoutError& e) {
    EXPECT_NE(e.message().find("deadline"), std::string::npos) << e.message();
  }
  EXPECT_TRUE(eventually([&] { return server.abandoned_requests() >= 1; }));
}

TEST(ModelIoTest, StopRequestDropsTheTransfer) {
  KeepAliveHttpServer server(echo_after(5s));
  auto lm = invoker_for(server);
  std::stop_source stop;
  auto scenario = [](std::shared_ptr<OpenAILMInvoker> lm, std::stop_source stop) -> vorn_core::Task<void> {
    vorn_inference::InvokeOptions options;
    options.stop = stop.get_token();
    // The caller's own timer: the call must end right after it fires.
    auto timer = [](std::stop_source stop) -> vorn_core::Task<void> {
      co_await vorn_core::sleep_for(100ms);
      stop.request_stop();
    };
    std::vector<vorn_core::Task<void>> both;
    both.push_back(timer(stop));
    both.push_back([](std::shared_ptr<OpenAILMInvoker> lm, vorn_inference::InvokeOptions options) -> vorn_core::Task<void> {
      co_await ask(lm, "q", std::move(options));
    }(lm, std::move(options)));
    co_await vorn_core::when_all(std::move(both));
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(vorn_core::run_sync(scenario(lm, stop)), vorn_inference::ModelCancelledError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(eventually([&] { return server.abandoned_requests() == 1; }));
}

TEST(ModelIoTest, CallerTimeoutEndsTheTransferWithTheLoop) {
  KeepAliveHttpServer server(echo_after(5s));
  auto lm = invoker_for(server);
  EXPECT_THROW(vorn_core::run_sync(vorn_core::with_timeout(ask(lm, "q"), 100ms)), vorn_core::TimeoutError);
  // The abandoned call's frame went with the loop, and its transfer with it.
  EXPECT_TRUE(eventually([&] { return server.abandoned_requests() == 1; }));
}

TEST(ModelIoTest, LoopsOnSeveralThreadsShareTheIoThread) {
  KeepAliveHttpServer server(echo_after(20ms));
  auto lm = invoker_for(server, 4);
  std::vector<std::thread> threads;
  std::vector<int> correct(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const auto answers = ask_all(lm, 6);
      for (int i = 0; i < 6; ++i) correct[t] += answers[i] == "q" + std::to_string(i);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(correct[t], 6) << "thread " << t;
  EXPECT_LE(server.max_concurrent_requests(), 4);
}

TEST(ModelIoTest, BlockingPostStillWorksInsideARunningLoop) {
  KeepAliveHttpServer server([](const RecordedRequest&) { return FakeReply{.body = "{}"}; });
  vorn_inference::HttpClient client;
  auto inside = [](const vorn_inference::HttpClient& client, std::string url) -> vorn_core::Task<long> {
    co_return client.post_json(url, "{}").status;
  };
  EXPECT_EQ(vorn_core::run_sync(inside(client, server.url("/x"))), 200);
}

}  // namespace
